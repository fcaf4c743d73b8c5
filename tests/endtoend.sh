#!/usr/bin/env bash
# The shipped program as an agent starts it: the real client against the real
# stand-in service, driven by keystrokes on a private desktop (run it through
# with-desktop.sh). Every wait is bounded, and everything started is killed by
# its process id.
# Usage: endtoend.sh <orvantis executable> <devserver executable>
set -uo pipefail
client_bin=$1
devserver_bin=$2
scratch=$(mktemp -d)
client_pid=
devserver_pid=
port=0

cleanup() {
    [ -n "$client_pid" ] && kill "$client_pid" 2>/dev/null
    [ -n "$devserver_pid" ] && kill "$devserver_pid" 2>/dev/null
    [ -n "${dunst_pid:-}" ] && kill "$dunst_pid" 2>/dev/null
    [ -n "${bus_pid:-}" ] && kill "$bus_pid" 2>/dev/null
    # E2E_KEEP=<folder> keeps the logs and screenshots of the run.
    [ -n "${E2E_KEEP:-}" ] && cp -r "$scratch/." "$E2E_KEEP"
    rm -rf "$scratch"
}
trap cleanup EXIT

fail() {
    echo "FAIL: $*" >&2
    echo "--- the client's last words:" >&2
    tail -n 40 "$scratch/client.log" >&2
    exit 1
}

# wait_for SECONDS COMMAND...: runs the command until it succeeds.
wait_for() {
    local until=$((SECONDS + $1))
    shift
    until "$@"; do
        [ "$SECONDS" -lt "$until" ] || return 1
        sleep 0.2
    done
}

start_devserver() {
    # Gone before the start: the shell truncates it only once the child runs.
    rm -f "$scratch/devserver.out"
    # Its channel outlives a restart, as the service's does.
    "$devserver_bin" --no-simulate --port "$1" --state "$scratch/devserver-state.json" \
        >"$scratch/devserver.out" 2>"$scratch/devserver.log" &
    devserver_pid=$!
    wait_for 15 grep -q "port" "$scratch/devserver.out" || fail "the stand-in did not start"
    port=$(sed -n 's/.* port \([0-9]*\).*/\1/p' "$scratch/devserver.out")
}

control() {
    curl -sf -X POST -H 'Content-Type: application/json' -d "$2" \
        "http://127.0.0.1:$port/control/$1"
}

window() { xdotool search --onlyvisible --name "$1" 2>/dev/null | head -n 1; }
has_window() { [ -n "$(window "$1")" ]; }
has_no_window() { [ -z "$(window "$1")" ]; }
# Gives the window the keyboard, and makes sure it has it.
focus() {
    xdotool windowactivate --sync "$1" >/dev/null 2>&1
    [ "$(xdotool getactivewindow 2>/dev/null)" = "$1" ]
}

# A screenshot of the display with more than one flat colour in it.
screen_alive() {
    import -window root "$1" || return 1
    local spread
    spread=$(convert "$1" -colorspace Gray -format '%[fx:standard_deviation*255]' info:)
    awk -v s="$spread" 'BEGIN { exit !(s > 14) }'
}

# How often the open conversation shows the text $1, replayed from the log.
shown() {
    awk -v text="content= $1" '
        /\[UI\] 清空聊天区/ { n = 0 }
        /appendChatBubble/ && substr($0, length($0) - length(text) + 1) == text { n++ }
        END { print n + 0 }' "$scratch/client.log"
}
shown_once() { [ "$(shown "$1")" = 1 ]; }

# "chat" frames the stand-in received for session $1 carrying the text $2.
sent_once() {
    [ "$(grep '"type":"chat"' "$scratch/devserver.log" | grep -F "\"session_id\":$1," |
        grep -cF "$2")" = 1 ]
}
joined_sessions() { [ "$(grep -c '"type":"join_session"' "$scratch/devserver.log")" = "$1" ]; }
# The tray icon: the program's small window inside the tray host.
find_tray() {
    local id size
    for id in $(xdotool search --classname orvantis 2>/dev/null); do
        size=$(xdotool getwindowgeometry "$id" 2>/dev/null | sed -n 's/.*Geometry: //p')
        [ -n "$size" ] && [ "${size%x*}" -gt 1 ] && [ "${size#*x}" -le 64 ] && tray=$id && return 0
    done
    return 1
}
client_gone() { ! kill -0 "$client_pid" 2>/dev/null; }

for d in HOME TMPDIR XDG_CONFIG_HOME XDG_DATA_HOME XDG_CACHE_HOME XDG_RUNTIME_DIR; do
    mkdir -p "$scratch/$d"
done
chmod 700 "$scratch/XDG_RUNTIME_DIR"

# A session bus of the run's own with a real notification daemon on it, and
# nothing else that could start by itself (a keyring, say).
cat >"$scratch/bus.conf" <<CONF
<busconfig><type>session</type><listen>unix:dir=$scratch</listen><auth>EXTERNAL</auth>
<policy context="default"><allow send_destination="*" eavesdrop="true"/>
<allow eavesdrop="true"/><allow own="*"/></policy></busconfig>
CONF
dbus-daemon --config-file="$scratch/bus.conf" --nofork --print-address=3 3>"$scratch/bus" &
bus_pid=$!
wait_for 10 test -s "$scratch/bus" || fail "no session bus"
bus=$(head -n 1 "$scratch/bus")
DBUS_SESSION_BUS_ADDRESS=$bus dunst >"$scratch/dunst.log" 2>&1 &
dunst_pid=$!
notifications() { DBUS_SESSION_BUS_ADDRESS=$bus dunstctl count "$1" 2>/dev/null; }
wait_for 10 notifications displayed >/dev/null || fail "the notification daemon did not start"

start_devserver 0
first_port=$port
env HOME="$scratch/HOME" TMPDIR="$scratch/TMPDIR" XDG_CONFIG_HOME="$scratch/XDG_CONFIG_HOME" \
    XDG_DATA_HOME="$scratch/XDG_DATA_HOME" XDG_CACHE_HOME="$scratch/XDG_CACHE_HOME" \
    XDG_RUNTIME_DIR="$scratch/XDG_RUNTIME_DIR" DBUS_SESSION_BUS_ADDRESS="$bus" \
    ORVANTIS_API_URL="http://127.0.0.1:$port/api" ORVANTIS_WSS_URL="ws://127.0.0.1:$port/wss" \
    QT_QPA_PLATFORM=xcb QT_LOGGING_RULES="default.debug=true" \
    "$client_bin" >"$scratch/client.log" 2>&1 &
client_pid=$!

# Sign in through the login dialog.
wait_for 20 has_window "商户客服系统 - 登录" || fail "no login dialog"
screen_alive "$scratch/login.png" || fail "the login dialog is black or blank"
wait_for 10 focus "$(window "商户客服系统 - 登录")" || fail "the login dialog cannot be focused"
xdotool type --delay 40 demo
xdotool key Tab
xdotool type --delay 40 demo123
xdotool key Return
wait_for 15 grep -q '"type":"join"' "$scratch/devserver.log" || fail "the channel was not joined"

# A visitor writes; the agent opens the session from the keyboard (it is
# first in the list) and answers with Enter and with a quick reply.
session=$(control new-visitor '{"visitor_name":"E2E 访客"}' |
    sed -n 's/.*"session_id":\([0-9]*\).*/\1/p')
[ -n "$session" ] || fail "no visitor session"
control visitor-message "{\"session_id\":$session,\"content\":\"hello e2e\"}" >/dev/null ||
    fail "the visitor could not write"
wait_for 15 grep -q "hello e2e" "$scratch/client.log" || fail "the visitor's message did not arrive"
wait_for 10 has_no_window "商户客服系统 - 登录" || fail "the login dialog stays"
wait_for 10 focus "$(window "商户客服系统")" || fail "the main window cannot be focused"
# The list holds its order while the pointer rests on it; keep it away.
xdotool mousemove 0 0
xdotool key ctrl+Down
wait_for 15 shown_once "hello e2e" || fail "the opened session does not show the message"
xdotool type --delay 40 "reply one"
xdotool key Return
xdotool key alt+1
sleep 0.5 # the button shows itself pressed before it answers
xdotool key Return
wait_for 15 sent_once "$session" "reply one" || fail "the typed answer did not reach the service"
wait_for 15 sent_once "$session" "您好，请问有什么可以帮您？" || fail "the quick reply did not reach the service"
screen_alive "$scratch/workspace.png" || fail "the main window is black or blank"

# The agent opens the next session, one the service knew before the visitor
# came. The service goes away and comes back on the same port; meanwhile
# that session's visitor writes. The message shows once.
xdotool key ctrl+Down
wait_for 15 joined_sessions 2 || fail "the next session was not opened"
seeded=$(grep '"type":"join_session"' "$scratch/devserver.log" | tail -n 1 |
    sed -n 's/.*"session_id":\([0-9]*\).*/\1/p')
[ "$seeded" -lt "$session" ] || fail "the next session is not one of the service's own"
kill "$devserver_pid"
wait "$devserver_pid" 2>/dev/null
wait_for 15 grep -q "\[WSS\] 连接断开" "$scratch/client.log" || fail "the lost link went unnoticed"
start_devserver "$first_port"
control visitor-message "{\"session_id\":$seeded,\"content\":\"while away\"}" >/dev/null ||
    fail "the visitor could not write to the restarted service"
# What the agent answered before is still the service's.
grep -q "state restored" "$scratch/devserver.out" && grep -q "reply one" "$scratch/devserver-state.json" ||
    fail "the restarted service did not keep its channel"
wait_for 45 grep -q '"type":"join"' "$scratch/devserver.log" || fail "no reconnection"
wait_for 15 shown_once "while away" || fail "the missed message is not shown"
sleep 1.5
shown_once "while away" || fail "the missed message is shown $(shown "while away") times"

# Away from the window, a visitor's message is a desktop notification; its
# action opens that visitor's session and brings the window back.
xdotool windowminimize "$(window "商户客服系统")"
wait_for 10 has_no_window "商户客服系统" || fail "the window was not minimised"
# A new visitor, then their first words: one notification for the session.
fresh=$(control new-visitor '{"visitor_name":"E2E 二号"}' |
    sed -n 's/.*"session_id":\([0-9]*\).*/\1/p')
[ -n "$fresh" ] || fail "no second visitor session"
control visitor-message "{\"session_id\":$fresh,\"content\":\"are you there\"}" >/dev/null ||
    fail "the visitor could not write"
wait_for 15 grep -q "are you there" "$scratch/client.log" || fail "the message did not arrive"
displayed() { [ "$(notifications displayed)" = 1 ]; }
wait_for 15 displayed || fail "no desktop notification, or more than one"
DBUS_SESSION_BUS_ADDRESS=$bus dunstctl action 0
wait_for 15 grep -q "切换会话: old= $seeded new= $fresh" "$scratch/client.log" ||
    fail "the notification's action did not open its session"
wait_for 10 has_window "商户客服系统" || fail "the notification's action did not show the window"
# Read: the notification is withdrawn.
gone() { [ "$(notifications displayed)" = 0 ]; }
wait_for 10 gone || fail "the notification stays after the session was read"

# Quit from the tray icon's menu (its last entry).
wait_for 10 find_tray || fail "no tray icon"
xdotool mousemove --window "$tray" 8 8 click 3
sleep 0.5
xdotool key Up Return
wait_for 15 client_gone || fail "the client did not quit"
wait "$client_pid"
status=$?
client_pid=
[ "$status" = 0 ] || fail "the client exited with $status"
# No lock file or local socket is left behind, nothing goes to the shared
# temporary folder; the generated chimes stay for the next start.
leftovers=$(ls -A "$scratch/TMPDIR"; ls -A "$scratch/XDG_RUNTIME_DIR/orvantis" | grep -vxE "(notify|visitor|transfer)\.wav")
[ -z "$leftovers" ] || fail "left behind: $leftovers"
echo "PASS: end to end"
