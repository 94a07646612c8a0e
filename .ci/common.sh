# Helpers shared by the CI scripts; sourced, not run.

# The interpreter of a CPython minor version (e.g. 3.11): the newest that
# pyenv installed, else the one on PATH. Prints its path, or fails.
find_python() {
    local version="$1" root found
    if command -v pyenv >/dev/null 2>&1; then
        root="$(pyenv root)"
        found="$(find "$root/versions" -maxdepth 3 -path "$root/versions/$version.*/bin/python$version" \
            -perm -u+x 2>/dev/null | sort -V | tail -n 1)"
        [[ -n "$found" ]] && { echo "$found"; return 0; }
    fi
    command -v "python$version" 2>/dev/null || return 1
}
