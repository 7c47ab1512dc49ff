#!/bin/sh
# train.sh KELP_TRAIN PAGES OBJECT_DIR [TRAINED PROFILE]...
# Runs every page test through the instrumented program, then copies the counts of
# each source (TRAINED) to where its optimised object reads them (PROFILE).
train=$1
pages=$2
objects=$3
shift 3
find "$objects" -name '*.gcda' -exec rm -f {} +
for page in $(find "$pages" -name '*.kp' | sort); do
    [ -f "${page%.kp}.expected" ] || continue
    work=$(mktemp -d)
    cp -R "$(dirname "$page")"/. "$work"/
    sh "$pages/kelp_page.sh" "$train" "$work" "$(basename "$page")" >/dev/null 2>&1 </dev/null
    rm -rf "$work"
done
while [ $# -ge 2 ]; do
    trained=$1
    profile=$2
    shift 2
    if [ ! -f "$trained" ]; then
        echo "train.sh: no counts for $trained: did the pages run?" >&2
        exit 1
    fi
    cp "$trained" "$profile"
done
