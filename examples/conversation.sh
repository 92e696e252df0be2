#!/usr/bin/env bash
# Runs a quorvel binary in the example server directory the way the mail server
# does: one live process, an INTF handshake, one FILE request per queued message,
# then QUIT. Each request is sent only after the previous reply has come back, and
# is printed with the lines it produced.
#   examples/conversation.sh build/filter/quorvel
set -euo pipefail

if [[ $# -ne 1 ]]; then
    echo "usage: $0 path/to/quorvel" >&2
    exit 64
fi
binary=$(realpath "$1")
server=$(dirname "$(realpath "$0")")/server
cd "$server"

coproc FILTER { exec "$binary"; }
filter_pid=$FILTER_PID
from_filter=${FILTER[0]}
to_filter=${FILTER[1]}

# Prints lines from the filter up to and including the first one that is not a
# log record, or up to the ready line at start-up.
show_until() {
    local stop_at_ready=$1 line
    while IFS= read -r -t 10 -u "$from_filter" line; do
        printf '    %s\n' "$line"
        if [[ $stop_at_ready == yes ]]; then
            [[ $line == "* Ready to receive INTF command." ]] && return 0
        elif [[ $line != "* "* ]]; then
            return 0
        fi
    done
    echo "    (no reply)"
    return 1
}

send() {
    printf '> %s\n' "$1"
    printf '%s\n' "$1" >&"$to_filter"
    show_until no
}

echo "(start)"
show_until yes
number=1
send "$number INTF 3"
for message in Queue/*.msg; do
    number=$((number + 1))
    send "$number FILE $message"
done
send "$((number + 1)) QUIT"

# The filter ends when its input closes.
exec {to_filter}>&-
status=0
wait "$filter_pid" || status=$?
echo "(exit status $status)"
