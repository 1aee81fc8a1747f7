#!/usr/bin/env bash
# Makes the Debian package from a build with CPack, as `cmake --build BUILD
# --target package` does, unpacks it into a scratch root with dpkg-deb -x and
# checks it there: its control fields, the files it installs, the programs
# run from that root (--version, --check on the demo show, the headless
# player on the demo with the root's resources), and the metainfo, manual
# pages, systemd unit and desktop entry with their validators.
# Usage: check-package.sh BUILD_DIR VERSION DEMO_SHOW
# Exit 77 (a skip) when an outside program is missing, a failure under CI=true.
set -euo pipefail
build=$1
version=$2
demo=$3
scratch=$(mktemp -d)
player_pid=
cleanup() {
    if [ -n "$player_pid" ]; then kill "$player_pid" 2> /dev/null || true; fi
    rm -rf "$scratch"
}
trap cleanup EXIT

fail() { echo "FAIL: $*"; exit 1; }

for tool in cpack dpkg-deb dpkg-shlibdeps appstreamcli desktop-file-validate groff \
            systemd-analyze python3; do
    if ! command -v "$tool" > /dev/null; then
        echo "$tool is not installed (see packages.txt)"
        if [ "${CI:-}" = true ]; then exit 1; fi
        exit 77
    fi
done

# The package, made in the scratch folder so that a package beside the build is
# left alone.
if ! cpack -G DEB --config "$build/CPackConfig.cmake" -B "$scratch/out" > "$scratch/cpack.log" 2>&1; then
    cat "$scratch/cpack.log"
    fail "cpack failed"
fi
debs=("$scratch"/out/*.deb)
if [ ${#debs[@]} -ne 1 ] || [ ! -f "${debs[0]}" ]; then fail "cpack made no single .deb: ${debs[*]}"; fi
deb=${debs[0]}
[ "$(basename "$deb")" = "beamwright_${version}_$(dpkg --print-architecture).deb" ] ||
    fail "package file named $(basename "$deb")"

# Control fields: "FIELD=VALUE" is exact, "FIELD~WORD" a word of a list,
# "FIELD=" an absent field.
for expected in "Package=beamwright" "Version=$version" "Section=video" "Homepage=" \
                "Depends~libc6" "Depends~libqt6widgets6" "Depends~libgstreamer1.0-0" \
                "Depends~libpipewire-0.3-0" "Depends~libglib2.0-0" "Depends~libegl-mesa0" \
                "Depends~gstreamer1.0-pipewire"; do
    if [[ $expected == *~* ]]; then
        field=${expected%%~*}
        word=${expected#*~}
        # One package name a line, versions dropped.
        names=$(dpkg-deb -f "$deb" "$field" | tr ',|' '\n' | sed 's/^ *//; s/ .*//')
        grep -qxF "$word" <<< "$names" || fail "$field has no $word: $(dpkg-deb -f "$deb" "$field")"
    else
        field=${expected%%=*}
        value=${expected#*=}
        [ "$(dpkg-deb -f "$deb" "$field")" = "$value" ] ||
            fail "$field is \"$(dpkg-deb -f "$deb" "$field")\", not \"$value\""
    fi
done
maintainer=$(dpkg-deb -f "$deb" Maintainer)
[[ $maintainer =~ ^[^\<]+\ \<[^@\>]+@[^\>]+\>$ ]] || fail "Maintainer is \"$maintainer\""

root=$scratch/root
dpkg-deb -x "$deb" "$root"
[ "$(ls "$root")" = usr ] || fail "the package installs outside /usr: $(ls "$root")"
app=app.beamwright.Beamwright
unit=usr/lib/systemd/user/beamwright-headless@.service
for file in usr/bin/beamwright usr/bin/beamwright-tap usr/share/beamwright/shaders/Mix.fs \
            usr/share/beamwright/images/missing.png usr/share/beamwright/icons/beamwright-48.png \
            usr/share/applications/$app.desktop usr/share/mime/packages/$app.xml \
            usr/share/metainfo/$app.metainfo.xml usr/share/icons/hicolor/48x48/apps/$app.png \
            usr/share/icons/hicolor/scalable/apps/$app.svg usr/share/man/man1/beamwright.1 \
            usr/share/man/man1/beamwright-tap.1 "$unit"; do
    [ -e "$root/$file" ] || fail "the package has no /$file"
done

# The programs from the unpacked root, with nothing pointing them elsewhere.
export XDG_RUNTIME_DIR=$scratch/runtime XDG_CONFIG_HOME=$scratch/config
mkdir -m 700 "$XDG_RUNTIME_DIR"
unset BEAMWRIGHT_RESOURCE_DIR BEAMWRIGHT_OSC_PORT BEAMWRIGHT_CREP_PORT
# Movies in the demo have sound; no sound card is needed to check the package.
export BEAMWRIGHT_AUDIO_SINK=fakesink
beamwright=$root/usr/bin/beamwright
# Each row: expected status, a line the output must hold, the arguments.
while IFS='|' read -r status line arguments; do
    read -ra argv <<< "$arguments"
    set +e
    output=$("$beamwright" "${argv[@]}" 2>&1)
    got=$?
    set -e
    [ "$got" -eq "$status" ] || fail "beamwright $arguments exited $got, not $status: $output"
    grep -qxF -- "$line" <<< "$output" || fail "beamwright $arguments printed no \"$line\": $output"
done <<ROWS
0|beamwright $version|--version
0|7 cues, 2 outputs, 0 missing media|--check $demo
1|$root/usr/share/metainfo/$app.metainfo.xml: not a show: not valid JSON|--check $root/usr/share/metainfo/$app.metainfo.xml
ROWS

# The headless player loads the demo and runs its first cue with the root's
# shaders, then quits when told to.
free_port() {
    python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}
mkfifo "$scratch/input"
"$beamwright" --headless "$demo" --fps 10 --osc-port "$(free_port)" --crep-port "$(free_port)" \
    < "$scratch/input" > "$scratch/player.log" 2>&1 &
player_pid=$!
exec 3> "$scratch/input"
wait_for_line() {
    local deadline=$((SECONDS + 120))
    until grep -qE "$1" "$scratch/player.log"; do
        if ! kill -0 "$player_pid" 2> /dev/null || [ $SECONDS -ge $deadline ]; then
            cat "$scratch/player.log"
            fail "the headless player printed no line matching \"$1\""
        fi
        sleep 0.1
    done
}
wait_for_line '^load (done|failed)'
grep -qxF "load done 7 cues 2 outputs" "$scratch/player.log" ||
    { cat "$scratch/player.log"; fail "the headless player did not load the demo"; }
echo go >&3
wait_for_line '^current cue [0-9]'
echo quit >&3
wait_for_line '^stopped$'
set +e
wait "$player_pid"
status=$?
set -e
player_pid=
[ "$status" -eq 0 ] || { cat "$scratch/player.log"; fail "the headless player exited $status"; }
if grep -qiE "shader|cannot read|fatal" "$scratch/player.log"; then
    cat "$scratch/player.log"
    fail "the headless player complained"
fi

# AppStream: no error, warning or info-level complaint.
metainfo=$root/usr/share/metainfo/$app.metainfo.xml
# validate-tree also finds the desktop entry the metainfo launches.
for check in "validate $metainfo" "validate-tree $root"; do
    read -ra argv <<< "$check"
    report=$(appstreamcli "${argv[@]}" --no-net 2>&1) || fail "appstreamcli $check: $report"
    if grep -qE '^[EWI]: ' <<< "$report"; then fail "appstreamcli $check: $report"; fi
done
grep -qF "<release version=\"$version\"" "$metainfo" || fail "the metainfo's release is not $version"

# Manual pages: groff has nothing to warn of, and every option the program's
# --help names is described.
for row in "beamwright.1 $beamwright" "beamwright-tap.1 $root/usr/bin/beamwright-tap"; do
    read -r page program <<< "$row"
    page=$root/usr/share/man/man1/$page
    warnings=$(LC_ALL=C.UTF-8 groff -man -z -ww -Tutf8 "$page" 2>&1)
    [ -z "$warnings" ] || fail "groff warns about $page: $warnings"
    text=$(LC_ALL=C.UTF-8 groff -man -rLL=400n -rHY=0 -Tascii -P-cbou "$page")
    for option in $("$program" --help | grep -oE -- '--[a-z][a-z-]*' | sort -u); do
        grep -qF -- "$option" <<< "$text" || fail "$(basename "$page") does not describe $option"
    done
done

# The unit: its keys, then systemd's own check on a copy that runs the root's
# program (verify looks for the executable and the man: documentation page).
for key in "ExecStart=/usr/bin/beamwright --headless %f" "Restart=on-failure" \
           "StandardOutput=journal" "StandardError=journal"; do
    grep -qxF "$key" "$root/$unit" || fail "the unit has no line $key"
done
mkdir "$scratch/units"
sed "s#^ExecStart=/usr/bin/#ExecStart=$root/usr/bin/#" "$root/$unit" > "$scratch/units/$(basename "$unit")"
verify=$(MANPATH=$root/usr/share/man systemd-analyze verify --user \
             "$scratch/units/$(basename "$unit")" 2>&1) || fail "systemd-analyze: $verify"
[ -z "$verify" ] || fail "systemd-analyze: $verify"

# The desktop entry opens one show with the packaged program and its icon.
desktop=$root/usr/share/applications/$app.desktop
report=$(desktop-file-validate "$desktop" 2>&1) || fail "desktop-file-validate: $report"
[ -z "$report" ] || fail "desktop-file-validate: $report"
grep -qx "Exec=beamwright %f" "$desktop" || fail "the desktop entry's $(grep '^Exec=' "$desktop")"
grep -qx "Icon=$app" "$desktop" || fail "the desktop entry's $(grep '^Icon=' "$desktop")"

echo "package $(basename "$deb") complete"
