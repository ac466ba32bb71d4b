# bash completion for norvik-ctl
#
# Commands, options, their values, fleet's subcommands and the operation
# names of `call` are read from the program being completed (its --help, its
# `help COMMAND` and `call --list`), so new commands and options complete as
# soon as the program has them.

# The general help and the operation names of one program, read once per shell.
_norvik_ctl_load()
{
    local program=$1
    [[ ${_norvik_ctl_loaded-} == "$program" ]] && return
    _norvik_ctl_help=$("$program" --help 2>/dev/null)
    _norvik_ctl_operations=$("$program" call --list 2>/dev/null | awk 'NF { print $1 }')
    declare -gA _norvik_ctl_command_help=()
    _norvik_ctl_loaded=$program
}

# The help of one command or subcommand ("fleet download"), read once.
_norvik_ctl_command_help()
{
    local program=$1 topic=$2
    if [[ -z ${_norvik_ctl_command_help[$topic]+set} ]]; then
        # shellcheck disable=SC2086
        _norvik_ctl_command_help[$topic]=$("$program" help $topic 2>/dev/null)
    fi
    printf '%s\n' "${_norvik_ctl_command_help[$topic]}"
}

# "--name VALUE" for every option line of a help text ("--name" for a flag).
_norvik_ctl_option_lines()
{
    awk '/^  -/ {
        sub(/^  (-h, )?/, "")
        if (match($0, /^--[a-z][a-z-]* ("[^"]*"|[A-Z0-9][^ ]*)/)) print substr($0, RSTART, RLENGTH)
        else { split($0, w, " "); print w[1] } }'
}

# Serial ports: the device of every port the system reports, and the COMn
# names the environment sets.
_norvik_ctl_ports()
{
    "$1" ports 2>/dev/null | awk '$1 ~ /^COM[0-9]+$/ { print $1; next } $2 ~ /^\// { print $2 }'
}

# Completes the value of a placeholder: a|b|c lists the choices, FILE and DIR
# are paths; other placeholders take free text.
_norvik_ctl_value()
{
    local placeholder=$1 cur=$2
    case $placeholder in
        *'|'*) mapfile -t COMPREPLY < <(compgen -W "${placeholder//|/ }" -- "$cur") ;;
        FILE) mapfile -t COMPREPLY < <(compgen -f -- "$cur"); compopt -o filenames 2>/dev/null ;;
        DIR) mapfile -t COMPREPLY < <(compgen -d -- "$cur"); compopt -o filenames 2>/dev/null ;;
    esac
}

_norvik_ctl()
{
    local program=${COMP_WORDS[0]} cur=${COMP_WORDS[COMP_CWORD]} prev=
    ((COMP_CWORD > 0)) && prev=${COMP_WORDS[COMP_CWORD - 1]}
    COMPREPLY=()
    _norvik_ctl_load "$program"
    [[ -n $_norvik_ctl_help ]] || return

    # The commands: the lines of the help's "Commands:" part.
    local commands
    commands=$(awk '/^Commands:/ { on = 1; next } /^[^ ]/ { on = 0 } on && /^  [a-z]/ { print $1 }' \
        <<<"$_norvik_ctl_help")
    # Every option any command takes, to tell an option's value from an argument.
    local all_valued
    all_valued=$(_norvik_ctl_option_lines <<<"$_norvik_ctl_help")

    # The words before the cursor that are neither options nor their values.
    local -a positional=()
    local i word
    for ((i = 1; i < COMP_CWORD; i++)); do
        word=${COMP_WORDS[i]}
        if [[ $word == --*=* ]]; then
            continue
        elif [[ $word == -* ]]; then
            if ((${#positional[@]} > 0)) && [[ -z $(grep -E -- "^$word( |$)" <<<"$all_valued") ]]; then
                all_valued+=$'\n'$(_norvik_ctl_option_lines < <(_norvik_ctl_command_help "$program" "${positional[0]}"))
            fi
            grep -qE -- "^$word " <<<"$all_valued" && ((i++))
            continue
        fi
        positional+=("$word")
    done

    # The command at hand, with fleet's subcommand once it is typed.
    local command=${positional[0]-} topic= help=
    if [[ -n $command ]] && grep -qx -- "$command" <<<"$commands"; then
        topic=$command
        help=$(_norvik_ctl_command_help "$program" "$topic")
        # The usage lines: "norvik-ctl [link options] fleet download FILE ..."
        local subcommands
        subcommands=$(awk -v c="$command" '/^(Usage:|       )norvik-ctl|^Usage: norvik-ctl/ {
            for (i = 1; i < NF; i++) if ($i == c && $(i + 1) ~ /^[a-z][a-z-]*$/) print $(i + 1) }' <<<"$help")
        if [[ -n $subcommands && ${#positional[@]} -ge 2 ]] && grep -qx -- "${positional[1]}" <<<"$subcommands"; then
            topic="$command ${positional[1]}"
            help=$(_norvik_ctl_command_help "$program" "$topic")
        fi
    fi
    local options
    options=$({ _norvik_ctl_option_lines <<<"$_norvik_ctl_help"; [[ -n $help ]] && _norvik_ctl_option_lines <<<"$help"; } |
        sort -u)

    if [[ $prev == -* ]]; then
        local entry
        entry=$(grep -m1 -E -- "^$prev " <<<"$options")
        if [[ -n $entry ]]; then
            if [[ $prev == --port ]]; then
                mapfile -t COMPREPLY < <(compgen -W "$(_norvik_ctl_ports "$program")" -- "$cur")
                [[ $cur == /* ]] && mapfile -t -O ${#COMPREPLY[@]} COMPREPLY < <(compgen -f -- "$cur")
            else
                _norvik_ctl_value "${entry#* }" "$cur"
            fi
            return
        fi
    fi
    if [[ $cur == -* ]]; then
        mapfile -t COMPREPLY < <(compgen -W "$(awk '{ print $1 }' <<<"$options")" -- "$cur")
        return
    fi

    if ((${#positional[@]} == 0)); then
        mapfile -t COMPREPLY < <(compgen -W "$commands" -- "$cur")
        return
    fi
    [[ -n $help ]] || return
    local index=${#positional[@]}
    if [[ $command == call && $index == 1 ]]; then
        mapfile -t COMPREPLY < <(compgen -W "$_norvik_ctl_operations" -- "$cur")
        return
    fi
    if [[ $command == help && $index == 1 ]]; then
        mapfile -t COMPREPLY < <(compgen -W "$commands" -- "$cur")
        return
    fi
    if [[ $topic == "$command" && -n $subcommands && $index == 1 ]]; then
        mapfile -t COMPREPLY < <(compgen -W "$subcommands" -- "$cur")
        return
    fi
    # The placeholder at this place of the command's usage line:
    # "door N open|force-open|...", "download FILE", "fleet download FILE".
    # A long usage line goes on in lines indented by twelve blanks.
    local -a line
    read -r -a line < <(awk '
        /^(Usage: |       )norvik-ctl \[link options\] / { if (buf != "") print buf; buf = $0; next }
        /^            [^ ]/ && buf != "" { buf = buf " " $0; next }
        { if (buf != "") print buf; buf = "" }
        END { if (buf != "") print buf }' <<<"$help" |
        sed -E 's/^(Usage: |       )norvik-ctl \[link options\] //' | grep -m1 -E -- "^$topic( |$)")
    [[ ${#line[@]} -gt $index && ${line[index]} != [* && ${line[index]} != -* ]] && _norvik_ctl_value "${line[index]}" "$cur"
}

complete -F _norvik_ctl norvik-ctl
