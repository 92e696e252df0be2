// The texts of the places whose lists quorvel-check could not read; the numbers in
// them are the tool's own bounds (check_walk_bounds).
#include "check_places.h"

#include "check_text.h"
#include "printable.h"

namespace {

std::string seconds(std::chrono::milliseconds limit) {
    return std::to_string(std::chrono::duration_cast<std::chrono::seconds>(limit).count()) + " s";
}

}  // namespace

std::string unread_warning(const UnreadPlace& place) {
    const std::string path = kel::printable(place.path);
    const std::string not_shown = "; its lists are not shown";
    switch (place.why) {
        case UnreadPlace::Why::NoAnswer:
            return path + " did not answer within " + seconds(check_walk_bounds.place_limit) +
                   not_shown;
        case UnreadPlace::Why::SameMount:
            return path + " was skipped: it lies on the mount of " + kel::printable(place.reason) +
                   ", which did not answer" + not_shown;
        case UnreadPlace::Why::OutOfTime:
            return path + " did not answer within the " + seconds(check_walk_bounds.total_limit) +
                   " the tool waits for all places" + not_shown;
        case UnreadPlace::Why::CannotList:
            return "cannot list directory " + path + ": " + kel::printable(place.reason) +
                   not_shown;
        case UnreadPlace::Why::Failed:
            break;
    }
    return path + " could not be read: " + kel::printable(place.reason) + not_shown;
}

std::vector<std::string> unread_warnings(const std::vector<UnreadPlace>& places) {
    std::vector<std::string> warnings;
    for (const UnreadPlace& place : places) {
        warnings.push_back(unread_warning(place));
    }
    return warnings;
}

const char* unread_state(UnreadPlace::Why why) {
    switch (why) {
        case UnreadPlace::Why::NoAnswer:
            return "no answer";
        case UnreadPlace::Why::SameMount:
            return "same mount";
        case UnreadPlace::Why::OutOfTime:
            return "out of time";
        case UnreadPlace::Why::CannotList:
            return "cannot be listed";
        case UnreadPlace::Why::Failed:
            break;
    }
    return "failed";
}
