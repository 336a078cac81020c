# bash completion for vantor, the command-line tool of the Lumora screen recorder.
#
# Commands, options and --format values are fixed. Display and session identifiers come from the
# running app through vantor itself (`vantor displays`, `vantor status`); a completion never
# launches the app, so they are offered only while the bundle's Lumora runs.

_vantor_commands="capabilities displays start status stop result setup"

# Prints the options that `command` uses, besides --app and --help which every command takes.
_vantor_command_options() {
    case $1 in
        start) echo "--display --duration --system-audio --wait --request-id" ;;
        status | stop) echo "--session" ;;
        result) echo "--session --wait --timeout" ;;
        setup) echo "--format" ;;
    esac
}

_vantor_is_value_option() {
    case $1 in
        --app | --display | --duration | --request-id | --session | --timeout | --format) return 0 ;;
    esac
    return 1
}

# The bundle that vantor would use: --app on the line, else RECORDER_APP, else vantor's own
# bundle (the program resolved through its symbolic links).
_vantor_bundle() {
    local app= i
    for ((i = 1; i < ${#COMP_WORDS[@]} - 1; i++)); do
        [[ ${COMP_WORDS[i]} == --app ]] && app=${COMP_WORDS[i + 1]}
    done
    if [[ -z $app && -n ${RECORDER_APP+set} ]]; then app=$RECORDER_APP; fi
    if [[ -z $app ]]; then
        local program
        program=$(command -v -- "${COMP_WORDS[0]}") || return 1
        program=$(readlink -f -- "$program") || return 1
        app=${program%/Contents/Helpers/*}
    fi
    app=${app/#\~/$HOME}
    [[ $app == *.app && -d $app ]] || return 1
    printf '%s\n' "$app"
}

# True when a process of this user runs the bundle's Lumora.
_vantor_app_running() {
    local exe
    for exe in /proc/[0-9]*/exe; do
        [[ $exe -ef $1/Contents/MacOS/Lumora ]] && return 0
    done
    return 1
}

# Prints the text values of `key` in vantor's pretty-printed JSON on standard input: one key per
# line, `"key" : "value"`.
_vantor_json_values() {
    local line value re="^ *\"$1\" : \"(([^\"\\\\]|\\\\.)*)\",?$"
    while IFS= read -r line; do
        if [[ $line =~ $re ]]; then
            value=${BASH_REMATCH[1]}
            value=${value//\\\"/\"}
            printf '%s\n' "${value//\\\\/\\}"
        fi
    done
}

# Prints the identifiers that `vantor <command>` reports under `key`, if the app runs.
_vantor_live_values() {
    local app
    app=$(_vantor_bundle) || return 0
    _vantor_app_running "$app" || return 0
    timeout 5 "$app/Contents/Helpers/vantor" --app "$app" "$1" 2>/dev/null | _vantor_json_values "$2"
}

# Adds the lines of standard input that begin with $1 to COMPREPLY, quoted for the shell. Not
# compgen -W, which would expand what the app reports.
_vantor_reply_matching() {
    local value quoted
    while IFS= read -r value; do
        [[ $value == "$1"* ]] || continue
        printf -v quoted '%q' "$value"
        COMPREPLY+=("$quoted")
    done
}

_vantor() {
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD - 1]}
    COMPREPLY=()

    if ((COMP_CWORD > 1)) && _vantor_is_value_option "$prev"; then
        case $prev in
            --app)
                compopt -o filenames 2>/dev/null
                mapfile -t COMPREPLY < <(compgen -d -- "$cur") ;;
            --display) _vantor_reply_matching "$cur" < <(_vantor_live_values displays id) ;;
            --session) _vantor_reply_matching "$cur" < <(_vantor_live_values status sessionId) ;;
            --format) mapfile -t COMPREPLY < <(compgen -W "prompt json commands" -- "$cur") ;;
        esac
        return 0
    fi

    # The command is the first word that is neither an option nor an option's value.
    local command= used=" " i
    for ((i = 1; i < COMP_CWORD; i++)); do
        local word=${COMP_WORDS[i]}
        if _vantor_is_value_option "$word"; then
            used+="$word "
            ((i++))
        elif [[ $word == --* ]]; then
            used+="$word "
        elif [[ -z $command ]]; then
            command=$word
        fi
    done

    if [[ -z $command && $cur != -* ]]; then
        COMPREPLY=($(compgen -W "$_vantor_commands" -- "$cur"))
        return 0
    fi
    local option options=()
    for option in --app --help $(_vantor_command_options "$command"); do
        [[ $used == *" $option "* ]] || options+=("$option")
    done
    COMPREPLY=($(compgen -W "${options[*]}" -- "$cur"))
}

complete -F _vantor vantor
