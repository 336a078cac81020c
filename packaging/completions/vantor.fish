# fish completion for vantor, the command-line tool of the Lumora screen recorder.
#
# Commands, options and --format values are fixed. Display and session identifiers come from the
# running app through vantor itself (`vantor displays`, `vantor status`); a completion never
# launches the app, so they are offered only while the bundle's Lumora runs.

# Prints the command on the line so far: the first word that is neither an option nor an
# option's value.
function __vantor_command
    set -l tokens (commandline -opc)
    set -e tokens[1]
    set -l skip 0
    for token in $tokens
        if test $skip = 1
            set skip 0
            continue
        end
        switch $token
            case --app --display --duration --request-id --session --timeout --format
                set skip 1
            case '--*'
            case '*'
                echo $token
                return 0
        end
    end
    return 1
end

function __vantor_command_is
    set -l command (__vantor_command); or return 1
    contains -- $command $argv
end

# Prints the text values of $argv[2] that `vantor $argv[1]` reports, if the bundle's app runs.
# The bundle is the one vantor would use: --app, else RECORDER_APP, else vantor's own.
function __vantor_live_values -a command key
    set -l tokens (commandline -opc)
    set -l app
    for i in (seq 2 (math (count $tokens) - 1))
        test "$tokens[$i]" = --app; and set app $tokens[(math $i + 1)]
    end
    if test -z "$app"; and set -q RECORDER_APP
        set app $RECORDER_APP
    end
    if test -z "$app"
        set -l program (command -s -- $tokens[1]); or return 0
        set program (path resolve -- $program)
        set app (string replace -r '/Contents/Helpers/[^/]*$' '' -- $program)
    end
    set app (string replace -r '^~' $HOME -- $app)
    string match -q '*.app' -- $app; and test -d $app; or return 0
    set -l running 0
    for exe in /proc/*/exe
        if test $exe -ef $app/Contents/MacOS/Lumora
            set running 1
            break
        end
    end
    test $running = 1; or return 0
    timeout 5 $app/Contents/Helpers/vantor --app $app $command 2>/dev/null |
        string replace -rf '^ *"'$key'" : "((?:[^"\\\\]|\\\\.)*)",?$' '$1' |
        string replace -a '\\"' '"' | string replace -a '\\\\' '\\'
end

complete -c vantor -f
complete -c vantor -n 'not __vantor_command' -a capabilities -d 'app, permission readiness, limits'
complete -c vantor -n 'not __vantor_command' -a displays -d 'connected displays with IDs'
complete -c vantor -n 'not __vantor_command' -a start -d 'start recording a display'
complete -c vantor -n 'not __vantor_command' -a status -d 'current session, or one automated session'
complete -c vantor -n 'not __vantor_command' -a stop -d 'finalize an automated session'
complete -c vantor -n 'not __vantor_command' -a result -d 'the result of a session'
complete -c vantor -n 'not __vantor_command' -a setup -d 'text to connect an AI host to this app'

complete -c vantor -l app -x -a '(__fish_complete_directories)' -d 'the Lumora bundle to use'
complete -c vantor -l help -d 'print the usage text'
complete -c vantor -n '__vantor_command_is start' -l display -x -a '(__vantor_live_values displays id)' -d 'display to record'
complete -c vantor -n '__vantor_command_is start' -l duration -x -d 'duration limit in seconds'
complete -c vantor -n '__vantor_command_is start' -l system-audio -d 'record system audio too'
complete -c vantor -n '__vantor_command_is start result' -l wait -d 'wait for the recording to end'
complete -c vantor -n '__vantor_command_is start' -l request-id -x -d 'identifier of the start request'
complete -c vantor -n '__vantor_command_is status stop result' -l session -x -a '(__vantor_live_values status sessionId)' -d 'session identifier'
complete -c vantor -n '__vantor_command_is result' -l timeout -x -d 'how long to wait, in seconds'
complete -c vantor -n '__vantor_command_is setup' -l format -x -a 'prompt json commands' -d 'which text to print'
