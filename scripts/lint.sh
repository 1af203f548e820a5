#!/usr/bin/env bash
# Static checks over every tracked C and C++ file in src/, sim/, tests/, fuzz/ and bench/:
#
#   scripts/lint.sh                      format, tidy and cppcheck
#   scripts/lint.sh format tidy          just these
#   FIX=1 scripts/lint.sh format         reformat the files instead of failing
#   UNTRACKED=1 scripts/lint.sh          also files not yet added to git
#
# The compile database comes from a clang configuration in build-lint/ with the fuzz targets and
# benchmarks switched on, so that every source file has its flags; a tracked source file missing
# from it is a finding too. Needs clang, clang-tidy, clang-format, cppcheck, python3 and Google
# Benchmark (scripts/ci-hardening.sh installs them). Exits non-zero on any finding.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=build-lint
jobs=$(nproc)

listing=(--cached)
if [ "${UNTRACKED:-0}" = 1 ]; then
    listing+=(--others --exclude-standard)
fi
mapfile -t sources < <(git ls-files "${listing[@]}" -- 'src/*' 'sim/*' 'tests/*' 'fuzz/*' \
    'bench/*' | grep -E '\.(c|cc|cpp|h|hpp)$' | sort -u)
mapfile -t units < <(printf '%s\n' "${sources[@]}" | grep -E '\.(c|cc|cpp)$')

steps=("$@")
if [ ${#steps[@]} -eq 0 ]; then
    steps=(format tidy cppcheck)
fi

configure() {
    CC=clang CXX=clang++ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Debug \
        -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DRENUMBER_FUZZ=ON -DRENUMBER_BENCHMARKS=ON >/dev/null
}

# The compile database narrowed to the tracked units; fails when one of them has no entry.
tracked_database() {
    python3 - "$build/compile_commands.json" "$root" "${units[@]}" <<'EOF'
import json, os, sys
database, root, units = sys.argv[1], sys.argv[2], sys.argv[3:]
entries = json.load(open(database))
by_file = {os.path.relpath(os.path.join(e["directory"], e["file"]), root): e for e in entries}
missing = [unit for unit in units if unit not in by_file]
if missing:
    sys.exit("not compiled in any configuration the checks know: " + " ".join(missing))
json.dump([by_file[unit] for unit in units], open(os.path.join(os.path.dirname(database),
          "tracked_commands.json"), "w"), indent=1)
EOF
}

check_format() {
    if [ "${FIX:-0}" = 1 ]; then
        clang-format -i "${sources[@]}"
        return
    fi
    echo "clang-format: ${#sources[@]} files" >&2
    clang-format --dry-run --Werror "${sources[@]}"
}

check_tidy() {
    echo "clang-tidy: ${#units[@]} files" >&2
    local log="$build/clang-tidy.log"
    # Each file is reported whole and at once, so parallel runs do not interleave.
    if ! printf '%s\n' "${units[@]}" | xargs -P "$jobs" -I{} sh -c \
        'out=$(clang-tidy -p "$1" --quiet --header-filter="$2" "$3" 2>&1) || { printf "%s\n" "$out"; exit 1; }' \
        sh "$build" "^$root/(src|sim|tests|fuzz|bench)/" {} >"$log"; then
        grep -E '(error|warning):' "$log" >&2 || cat "$log" >&2
        return 1
    fi
}

check_cppcheck() {
    echo "cppcheck: ${#units[@]} files" >&2
    mkdir -p "$build/cppcheck"
    # useStlAlgorithm: a plain loop over bytes or records reads better than the algorithm it
    # suggests (std::accumulate for a CRC, std::transform for a list of pointers).
    cppcheck --project="$build/tracked_commands.json" --cppcheck-build-dir="$build/cppcheck" \
        --enable=warning,style,performance,portability --std=c++20 --library=googletest \
        --inline-suppr --suppress=useStlAlgorithm --error-exitcode=1 -j "$jobs" \
        --quiet --template='{file}:{line}: {severity}: {message} [{id}]'
}

configure
tracked_database
status=0
for step in "${steps[@]}"; do
    case "$step" in
    format) check_format || status=1 ;;
    tidy) check_tidy || status=1 ;;
    cppcheck) check_cppcheck || status=1 ;;
    *) echo "unknown step '$step': format, tidy or cppcheck" >&2; exit 2 ;;
    esac
done
exit $status
