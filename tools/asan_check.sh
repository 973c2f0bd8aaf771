#!/usr/bin/env bash
# Former name of tools/sanitize.sh (AddressSanitizer and UndefinedBehaviorSanitizer).
exec bash "$(dirname "$0")/sanitize.sh" "$@"
