#!/bin/sh
# The README's commands name what exists: in its shell blocks, every path under build/ is a file
# the build made (in BUILD_DIR, which stands for build/), and every command given by its path is
# an executable file of this tree.
# Usage: readme_test.sh SOURCE_DIR BUILD_DIR
set -e
cd "$1"
build_dir="$2"
failed=0
# Each line of a ```sh block, its comment cut off.
awk '/^```/ { inside = ($0 == "```sh"); next } inside { sub(/(^| )#.*/, ""); print }' README.md |
    {
        while read -r command rest; do
            [ -n "$command" ] || continue
            for word in $command $rest; do
                case "$word" in
                build/*)
                    if [ ! -f "$build_dir/${word#build/}" ]; then
                        echo "FAIL: README: the build makes no $word (in: $command $rest)" >&2
                        failed=1
                    fi
                    ;;
                esac
            done
            case "$command" in
            build/*) ;;  # checked above
            */*)
                if [ ! -f "$command" ] || [ ! -x "$command" ]; then
                    echo "FAIL: README: $command is no executable file of this tree" >&2
                    failed=1
                fi
                ;;
            esac
        done
        exit $failed
    }
