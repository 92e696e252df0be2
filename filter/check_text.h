// quorvel-check's text output: a block per decision, a line per decision with
// --brief, a block per list with --lists. Text from the server's tree and from
// messages is shown as kel::printable writes it (printable.h), so a hostile name cannot
// rewrite the terminal or forge a line.
#pragma once

#include <cstddef>
#include <ostream>
#include <string>

#include "check_explain.h"
#include "check_lists.h"

void print_explained(std::ostream& out, const Explained& explained);
// path, verdict, list and reason on one line; the warnings go to `errors`, each
// naming the message, so that `out` keeps one line per message.
void print_brief(std::ostream& out, std::ostream& errors, const Explained& explained);

// What the text output calls a decision that has no message file.
extern const char given_addresses[];

void print_lists(std::ostream& out, const ListsReport& report);
