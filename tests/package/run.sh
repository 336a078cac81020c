#!/usr/bin/env bash
# The Debian package, end to end: builds it from a build folder (LUMORA_BUILD_DIR, default
# ../../build), checks its contents, its control fields and lintian's verdict, renders the manual
# pages, validates the desktop entry, then installs it on this machine, runs the installed vantor
# from the PATH against the installed app on a temporary HOME, drives the installed completions
# in bash, zsh and fish, and purges the package again, checking that nothing is left behind.
#
# Installing needs root (or sudo). Lumora is started here, so outside CI run it under the
# machine-wide lock: flock /tmp/lumora-e2e.lock tests/package/run.sh
set -uo pipefail
cd "$(dirname "$0")/../.."
build=${LUMORA_BUILD_DIR:-$PWD/build}

sudo=()
if [[ $(id -u) -ne 0 ]]; then sudo=(sudo); fi

passed=0 failed=0 started=$SECONDS
pass() { passed=$((passed + 1)); echo "ok   $1"; }
fail() { failed=$((failed + 1)); echo "FAIL $1"; shift; for line in "$@"; do printf '     %s\n' "$line"; done; }
# expect NAME EXPECTED ACTUAL
expect() {
    if [[ $2 == "$3" ]]; then pass "$1"; else fail "$1" "expected: $2" "actual:   $3"; fi
}
# expect_contains NAME NEEDLE HAYSTACK
expect_contains() {
    if [[ $3 == *"$2"* ]]; then pass "$1"; else fail "$1" "missing: $2" "in: ${3:0:2000}"; fi
}
finish() {
    echo "==== package: $((SECONDS - started)) s"
    echo "$passed passed, $failed failed"
    ((failed == 0))
    exit
}

scratch=$(mktemp -d)
app_pids=()
installed=0
cleanup() {
    local pid
    for pid in "${app_pids[@]}"; do kill "$pid" 2>/dev/null; done
    # A run that stops half-way leaves no package behind for the next stages either.
    if ((installed)) && dpkg-query -W -f='${Status}' lumora 2>/dev/null | grep -q 'install ok installed'; then
        "${sudo[@]}" dpkg --purge lumora >/dev/null 2>&1
    fi
    rm -rf "$scratch"
}
trap cleanup EXIT

# ---- Build ---------------------------------------------------------------------------------
echo "==== package: build"
# The programs and pages only, then cpack: the same package as the `package` target, without
# building the tests and benchmarks when the stage runs alone.
if ! { cmake --build "$build" --target package-contents && (cd "$build" && cpack -G DEB); } >"$scratch/build.log" 2>&1; then
    tail -n 40 "$scratch/build.log"
    fail "the package builds"
    finish
fi
plist=$build/Lumora.app/Contents/Info.plist
plist_value() { sed -n "/<key>$1<\/key>/{n;s/.*<string>\(.*\)<\/string>.*/\1/p}" "$plist"; }
version="$(plist_value CFBundleShortVersionString).$(plist_value CFBundleVersion)"
deb=$build/lumora_${version}_$(dpkg --print-architecture).deb
if [[ -f $deb ]]; then pass "the package is named after the bundle's version ($(basename "$deb"))"; else
    fail "the package is named after the bundle's version" "no $deb" "$(ls "$build"/*.deb 2>&1)"
    finish
fi

# ---- Contents and control fields -------------------------------------------------------------
bundle=/usr/lib/lumora/Lumora.app
expected_files="/usr/bin/vantor -> ../lib/lumora/Lumora.app/Contents/Helpers/vantor
$bundle/Contents/Helpers/Quillon
$bundle/Contents/Helpers/vantor
$bundle/Contents/Info.plist
$bundle/Contents/MacOS/Lumora
$bundle/Contents/Resources/app.lumora.Lumora.desktop
$bundle/Contents/Resources/app.lumora.Lumora.svg
$bundle/Contents/Resources/completions/_vantor
$bundle/Contents/Resources/completions/vantor.bash
$bundle/Contents/Resources/completions/vantor.fish
$bundle/Contents/Resources/man/man1/Lumora.1
$bundle/Contents/Resources/man/man1/Quillon.1
$bundle/Contents/Resources/man/man1/vantor.1
/usr/share/applications/app.lumora.Lumora.desktop
/usr/share/bash-completion/completions/vantor
/usr/share/doc/lumora/changelog.gz
/usr/share/doc/lumora/copyright
/usr/share/fish/vendor_completions.d/vantor.fish
/usr/share/icons/hicolor/scalable/apps/app.lumora.Lumora.svg
/usr/share/man/man1/Lumora.1.gz
/usr/share/man/man1/Quillon.1.gz
/usr/share/man/man1/vantor.1.gz
/usr/share/zsh/vendor-completions/_vantor"
listing=$(dpkg-deb -c "$deb")
actual_files=$(awk '$1 !~ /^d/ { $1 = $2 = $3 = $4 = $5 = ""; sub(/^ *\./, ""); print }' <<<"$listing" | sort)
expect "the package holds exactly the bundle and its system files" "$expected_files" "$actual_files"
bad_owners=$(awk '$2 != "root/root"' <<<"$listing")
expect "every file belongs to root" "" "$bad_owners"
executables=$(awk '$1 ~ /^-..x/ { sub(/^\./, "", $6); print $6 }' <<<"$listing" | sort)
expect "only the three programs are executable" \
    "$bundle/Contents/Helpers/Quillon
$bundle/Contents/Helpers/vantor
$bundle/Contents/MacOS/Lumora" "$executables"

field() { dpkg-deb -f "$deb" "$1"; }
expect "Version follows the bundle's version" "$version" "$(field Version)"
expect "Package" "lumora" "$(field Package)"
depends=$(field Depends)
# Computed from the binaries by dpkg-shlibdeps: each with a minimum version.
for library in libc6 libstdc++6 libplist3 libuuid1; do
    if [[ ", $depends" == *", $library (>= "* ]]; then pass "Depends on $library (computed)"; else
        fail "Depends on $library (computed)" "Depends: $depends"
    fi
done
if [[ $depends =~ (^|, )ffmpeg(,|$) ]]; then pass "Depends on ffmpeg (ffmpeg and ffprobe are run)"; else
    fail "Depends on ffmpeg" "Depends: $depends"
fi
expect "Recommends the Wayland back end's programs" \
    "gstreamer1.0-tools, gstreamer1.0-pipewire, gstreamer1.0-plugins-base, gstreamer1.0-plugins-good, gstreamer1.0-plugins-bad, gstreamer1.0-plugins-ugly, xdg-desktop-portal" \
    "$(field Recommends)"

echo "==== package: lintian"
lintian_out=$(lintian --fail-on none "$deb" 2>&1 | grep -v 'running with root privileges')
problems=$(grep -E '^(E|W): ' <<<"$lintian_out")
expect "lintian reports no errors or warnings" "" "$problems"

# ---- The files themselves, from the package ----------------------------------------------------
root=$scratch/root
dpkg-deb -x "$deb" "$root"
for desktop in "$root/usr/share/applications/app.lumora.Lumora.desktop" \
    "$root$bundle/Contents/Resources/app.lumora.Lumora.desktop" \
    "$build/Lumora.app/Contents/Resources/app.lumora.Lumora.desktop"; do
    name=${desktop#"$scratch"/}
    if out=$(desktop-file-validate "$desktop" 2>&1) && [[ -z $out ]]; then pass "desktop-file-validate $name"; else
        fail "desktop-file-validate $name" "$out"
    fi
done
packaged_entry=$(<"$root/usr/share/applications/app.lumora.Lumora.desktop")
for line in "Exec=\"$bundle/Contents/MacOS/Lumora\"" "Icon=app.lumora.Lumora" "Categories=AudioVideo;Recorder;" \
    "Exec=\"$bundle/Contents/MacOS/Lumora\" --start-recording" "Exec=\"$bundle/Contents/MacOS/Lumora\" --stop-recording"; do
    if grep -qxF -- "$line" <<<"$packaged_entry"; then pass "desktop entry: $line"; else
        fail "desktop entry: $line" "$packaged_entry"
    fi
done
expect_contains "the build tree's entry runs the build tree's app" \
    "Exec=\"$build/Lumora.app/Contents/MacOS/Lumora\"" "$(<"$build/Lumora.app/Contents/Resources/app.lumora.Lumora.desktop")"
# A bundle whose path holds the characters that Exec quoting and escaping must protect.
odd_bundle='/tmp/a b/$x `y` "q" 100% \z/Lumora.app'
printf 'include("%s/packaging/DesktopEntry.cmake")\nlumora_write_desktop_entry([==[%s]==] "%s/odd.desktop")\n' \
    "$PWD" "$odd_bundle" "$scratch" >"$scratch/entry.cmake"
cmake -P "$scratch/entry.cmake"
expect "desktop entry for a bundle path with space, \$, \`, \", % and \\" \
    'Exec="/tmp/a b/\\$x \\`y\\` \\"q\\" 100%% \\\\z/Lumora.app/Contents/MacOS/Lumora"' \
    "$(grep -m1 '^Exec=' "$scratch/odd.desktop")"
if out=$(desktop-file-validate "$scratch/odd.desktop" 2>&1) && [[ -z $out ]]; then pass "desktop-file-validate, odd bundle path"; else
    fail "desktop-file-validate, odd bundle path" "$out"
fi
icon=$root/usr/share/icons/hicolor/scalable/apps/app.lumora.Lumora.svg
if head -c 200 "$icon" | grep -q '^<?xml' && grep -q '<svg ' "$icon" && tail -n 1 "$icon" | grep -qx '</svg>'; then
    pass "the icon is an SVG document"
else
    fail "the icon is an SVG document" "$(head -n 3 "$icon")"
fi

echo "==== package: manual pages"
for page in vantor Lumora Quillon; do
    file=$root/usr/share/man/man1/$page.1.gz
    warnings=$(MANWIDTH=80 man --warnings -l "$file" 2>&1 >/dev/null)
    expect "man renders $page(1) without warnings" "" "$warnings"
done
# Every option that the programs' own usage texts name is documented.
vantor_page=$(MANWIDTH=200 man -l "$root/usr/share/man/man1/vantor.1.gz" 2>/dev/null)
usage=$("$build/Lumora.app/Contents/Helpers/vantor" --help 2>&1 >/dev/null)
missing=()
for word in $(grep -o -- '--[a-z-]*' <<<"$usage" | sort -u) --help capabilities displays start status stop result setup \
    prompt json commands RECORDER_APP automation.sock settings.json mcp-trace.enabled mcp-trace.log; do
    [[ $vantor_page == *"$word"* ]] || missing+=("$word")
done
for status in 0 2 3 4 5 6; do
    grep -qE "^ {7}$status$" <<<"$vantor_page" || missing+=("exit status $status")
done
expect "vantor(1) documents every command, option, exit status, file and RECORDER_APP" "" "${missing[*]}"
lumora_page=$(MANWIDTH=200 man -l "$root/usr/share/man/man1/Lumora.1.gz" 2>/dev/null)
missing=()
for option in $("$build/Lumora.app/Contents/MacOS/Lumora" --help | grep -o -- '^  --[a-z0-9-]*') \
    --capture-backend --grant-screen-access --start-recording --stop-recording settings.json automation.sock; do
    [[ $lumora_page == *"$option"* ]] || missing+=("$option")
done
expect "Lumora(1) documents every option of Lumora --help" "" "${missing[*]}"
quillon_page=$(MANWIDTH=200 man -l "$root/usr/share/man/man1/Quillon.1.gz" 2>/dev/null)
missing=()
for word in --warm RECORDER_APP mcp-trace.enabled mcp-trace.log "EXIT STATUS"; do
    [[ $quillon_page == *"$word"* ]] || missing+=("$word")
done
expect "Quillon(1) documents --warm, RECORDER_APP, the trace files and exit statuses" "" "${missing[*]}"

# ---- Installed on this machine -------------------------------------------------------------
echo "==== package: install"
if dpkg-query -W -f='${Status}' lumora 2>/dev/null | grep -q 'install ok installed'; then
    fail "lumora is not installed before the test" "this machine has a lumora package; the stage will not replace it"
    finish
fi
# What existed before, so that the purge can be checked against it.
package_paths=$(dpkg-deb -c "$deb" | awk '{ $1 = $2 = $3 = $4 = $5 = ""; sub(/^ *\./, ""); sub(/ -> .*/, ""); sub(/\/$/, ""); print }')
preexisting=()
while IFS= read -r path; do
    [[ -n $path && ( -e $path || -L $path ) ]] && preexisting+=("$path")
done <<<"$package_paths"

# Other work on the machine may hold the package database for a moment.
for _ in $(seq 60); do
    if out=$("${sudo[@]}" dpkg -i "$deb" 2>&1); then installed=1; break; fi
    grep -q 'lock' <<<"$out" || break
    sleep 2
done
if ((installed)); then pass "dpkg -i installs the package"; else fail "dpkg -i installs the package" "$out"; finish; fi

home=$scratch/home
# The test pattern's two displays, whatever desktop this machine runs.
install -d -m 700 "$home/.local" "$home/.local/share" "$home/.local/share/app.lumora.Lumora"
echo '{"captureBackend": "synthetic"}' >"$home/.local/share/app.lumora.Lumora/settings.json"
expect "vantor on the PATH is the package's link" "/usr/bin/vantor" "$(command -v vantor)"
expect "the link leads into the bundle" "$bundle/Contents/Helpers/vantor" "$(readlink -f /usr/bin/vantor)"

installed_app_pids() {  # the installed Lumora processes running with the scratch HOME
    local exe pid
    for exe in /proc/[0-9]*/exe; do
        pid=${exe#/proc/} pid=${pid%/exe}
        [[ $exe -ef $bundle/Contents/MacOS/Lumora ]] &&
            tr '\0' '\n' <"/proc/$pid/environ" 2>/dev/null | grep -qxF "HOME=$home" && echo "$pid"
    done
}

setup_json=$(env -u RECORDER_APP HOME="$home" vantor setup --format json)
expect_contains "installed vantor setup names the installed Quillon" "\"command\": \"$bundle/Contents/Helpers/Quillon\"" "$setup_json"
expect "setup launches nothing" "" "$(installed_app_pids)"

# Completions, before the app runs: identifiers are never asked for by launching it.
bash_complete() {  # words...: the candidates the installed bash completion offers for the last word
    env -u RECORDER_APP HOME="$home" bash --norc -c '
        source /usr/share/bash-completion/bash_completion 2>/dev/null
        _completion_loader vantor 2>/dev/null || source /usr/share/bash-completion/completions/vantor
        complete -p vantor >/dev/null || exit 1
        COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); COMP_LINE="$*"; COMP_POINT=${#COMP_LINE}
        _vantor vantor "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
        printf "%s\n" "${COMPREPLY[@]}" | sort' bash "$@"
}
expect "bash: complete -p vantor after loading on demand" "complete -F _vantor vantor" \
    "$(HOME="$home" bash --norc -c 'source /usr/share/bash-completion/bash_completion; _completion_loader vantor; complete -p vantor')"
expect "bash: vantor st<TAB>" "start status stop" "$(bash_complete vantor st | xargs)"
expect "bash: vantor <TAB> offers the commands" "capabilities displays result setup start status stop" "$(bash_complete vantor '' | xargs)"
expect "bash: vantor result --<TAB>" "--app --help --session --timeout --wait" "$(bash_complete vantor result -- | xargs)"
expect "bash: options already given are not offered again" "--app --duration --help --request-id --system-audio --wait" \
    "$(bash_complete vantor start --display 1 -- | xargs)"
expect "bash: a value is not taken for the command" "--help --session" "$(bash_complete vantor --app /x stop -- | xargs)"
expect "bash: vantor setup --format <TAB>" "commands json prompt" "$(bash_complete vantor setup --format '' | xargs)"
expect "bash: no display identifiers while the app is not running" "" "$(bash_complete vantor start --display '' | xargs)"
expect "bash: completing launched no app" "" "$(installed_app_pids)"

zsh_complete() {  # words...: the candidates of the installed zsh completion, found through fpath
    env -u RECORDER_APP HOME="$home" zsh -f -c '
        autoload -Uz compinit && compinit -u -D
        [[ $_comps[vantor] == _vantor ]] || { print "not registered"; exit 1; }
        # The completion system proper needs a terminal; these stand-ins print what it would offer.
        compadd() { local -a c; if [[ $1 == -a ]]; then c=(${(P)2}); else c=("$@"); fi; print -rl -- ${(M)c:#${words[CURRENT]}*} }
        _describe() { local -a c=(${${(P)4}%%:*}); print -rl -- ${(M)c:#${words[CURRENT]}*} }
        _files() { }
        _message() { }
        words=("$@"); CURRENT=$#
        _vantor | sort' zsh "$@"
}
expect "zsh: vantor st<TAB>" "start status stop" "$(zsh_complete vantor st | xargs)"
expect "zsh: vantor result --<TAB>" "--app --help --session --timeout --wait" "$(zsh_complete vantor result -- | xargs)"
expect "zsh: vantor setup --format <TAB>" "commands json prompt" "$(zsh_complete vantor setup --format '' | xargs)"

fish_complete() {  # command line: the candidates of the installed fish completion
    env -u RECORDER_APP HOME="$home" XDG_CONFIG_HOME="$home/.config" fish -c 'complete -C $argv[1]' "$1" | cut -f1 | sort
}
expect "fish: vantor st<TAB>" "start status stop" "$(fish_complete 'vantor st' | xargs)"
expect "fish: vantor result --<TAB>" "--app --help --session --timeout --wait" "$(fish_complete 'vantor result --' | xargs)"
expect "fish: vantor setup --format <TAB>" "commands json prompt" "$(fish_complete 'vantor setup --format ' | xargs)"

echo "==== package: the installed vantor and app"
capabilities=$(env -u RECORDER_APP HOME="$home" vantor capabilities)
status=$?
expect "installed vantor capabilities exits 0" 0 "$status"
expect_contains "capabilities comes from the installed app" '"automationEnabled" : true' "$capabilities"
mapfile -t app_pids < <(installed_app_pids)
expect "vantor launched the installed app (one process)" 1 "${#app_pids[@]}"

# Identifiers from the running app.
expect "bash: display identifiers from the running app" "1 2" "$(bash_complete vantor start --display '' | xargs)"
expect "zsh: display identifiers from the running app" "1 2" "$(zsh_complete vantor start --display '' | xargs)"
expect "fish: display identifiers from the running app" "1 2" "$(fish_complete 'vantor start --display ' | xargs)"
receipt=$(env -u RECORDER_APP HOME="$home" vantor start --display 2 --duration 30)
session=$(awk -F'"' '/^  "sessionId"/ { print $4 }' <<<"$receipt")
if [[ -n $session ]]; then
    expect "bash: the session identifier from the running app" "$session" "$(bash_complete vantor stop --session '' | xargs)"
    expect "zsh: the session identifier from the running app" "$session" "$(zsh_complete vantor stop --session '' | xargs)"
    expect "fish: the session identifier from the running app" "$session" "$(fish_complete 'vantor stop --session ' | xargs)"
    env -u RECORDER_APP HOME="$home" vantor stop --session "$session" >/dev/null
else
    fail "a recording starts through the installed vantor" "$receipt"
fi

for pid in "${app_pids[@]}"; do kill "$pid" 2>/dev/null; done
for _ in $(seq 100); do [[ -z $(installed_app_pids) ]] && break; sleep 0.1; done
expect "the launched app has stopped" "" "$(installed_app_pids)"
app_pids=()

echo "==== package: purge"
if out=$("${sudo[@]}" dpkg --purge lumora 2>&1); then pass "dpkg --purge removes the package"; else fail "dpkg --purge removes the package" "$out"; fi
left=()
while IFS= read -r path; do
    [[ -n $path ]] || continue
    [[ -e $path || -L $path ]] || continue
    printf '%s\n' "${preexisting[@]}" | grep -qxF -- "$path" || left+=("$path")
done <<<"$package_paths"
expect "nothing of the package is left behind" "" "${left[*]}"

finish
