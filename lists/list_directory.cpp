// The hosted mailing lists (placeholder until the list directory lands).
#include "list_directory.h"

const std::string& main_domain_name() {
    static const std::string name;
    return name;
}
