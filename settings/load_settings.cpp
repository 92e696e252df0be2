// Loading settings files: not yet parsing.
#include "load_settings.h"

cgp::DataSet load_settings(const std::string&) {
    return cgp::DataSet();
}

cgp::DataSet parse_settings_text(const std::string&, const std::string&) {
    return cgp::DataSet();
}
