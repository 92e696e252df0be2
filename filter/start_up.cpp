// The start-up of the process: the banner, the main domain name while the process
// still has one thread (its cache is not locked), then the request loop.
#include "list_directory.h"
#include "logging.h"
#include "quorvel.h"
#include "quorvel_version.h"

int Quorvel::start(int, char**) {
    kel::logline() << "Kelvorn's Quorvel filter " QUORVEL_VERSION
                      " for Communigate Pro\n"
                      "This filter will verify list posting rights before the message is "
                      "processed\n"
                      "  by the LIST module. CGP sync rules will allow the unauthorized "
                      "messages to\n"
                      "  be rejected during the SMTP transaction, thus reducing the backscatter.\n";
    if (main_domain_name().empty()) {
        kel::logline() << "Be sure the current working directoy is CGPro base directory";
    }
    run();
    return 0;
}
