# shellcheck shell=bash
# Sourced by scripts/demo and scripts/live: the one choice of front end they share.
#
# run_interactive NAME BYTARN ARGS... runs the Settings application BYTARN with ARGS in a window
# when DISPLAY or WAYLAND_DISPLAY is set and the window opens, else in the terminal when standard
# input and output are one. It sets `interactive` to whether either ran and returns the
# application's status (0 when neither ran; the caller then prints the page).
run_interactive() {
    local name=$1 bytarn=$2
    shift 2
    interactive=true
    if [[ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]]; then
        # 1 is what bytarn gui answers when it cannot open a window (no display that GTK can
        # open, or a bytarn built without the window); anything else is the window's.
        local status=0
        "$bytarn" gui "$@" || status=$?
        if ((status != 1)); then
            return "$status"
        fi
        echo "$name: the window did not open; falling back" >&2
    fi
    if [[ -t 0 && -t 1 ]]; then
        "$bytarn" ui "$@"
        return
    fi
    # shellcheck disable=SC2034 # read by the script that sources this one
    interactive=false
    return 0
}
