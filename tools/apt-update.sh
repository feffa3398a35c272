#!/usr/bin/env bash
# apt-get update that survives a mirror caught mid-sync ("File has unexpected size"): tried
# three times, 20 s apart; after that the install is left to the lists that did arrive.
for attempt in 1 2 3; do
    apt-get update -qq && exit 0
    [ "$attempt" -lt 3 ] && sleep 20
done
echo "apt-get update failed three times; installing from the package lists there are" >&2
exit 0
