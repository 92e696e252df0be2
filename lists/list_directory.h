// The hosted mailing lists (placeholder until the list directory lands).
#pragma once

#include <string>

const std::string& main_domain_name();
