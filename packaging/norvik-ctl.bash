# bash completion for norvik-ctl
#
# Commands, options, their values and the operation names of `call` are read
# from the program being completed (its --help and `call --list`), so new
# commands and options complete as soon as the program has them.

# The help text and the operation names of one program, read once per shell.
_norvik_ctl_load()
{
    local program=$1
    [[ ${_norvik_ctl_loaded-} == "$program" ]] && return
    _norvik_ctl_help=$("$program" --help 2>/dev/null)
    _norvik_ctl_operations=$("$program" call --list 2>/dev/null | awk 'NF { print $1 }')
    _norvik_ctl_loaded=$program
}

# Serial ports: the device of every port the system reports, and the COMn
# names the environment sets.
_norvik_ctl_ports()
{
    "$1" ports 2>/dev/null | awk '$1 ~ /^COM[0-9]+$/ { print $1; next } $2 ~ /^\// { print $2 }'
}

# Completes the value of a placeholder from the help: a|b|c lists the
# choices, FILE and DIR are paths; other placeholders take free text.
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

    local options valued
    options=$(grep -oE -- '--[a-z][a-z-]*' <<<"$_norvik_ctl_help" | sort -u)
    # "--name VALUE": an option that takes a value, with its placeholder.
    valued=$(grep -oE -- '--[a-z][a-z-]* ("[^"]*"|[A-Z0-9][^] ]*)' <<<"$_norvik_ctl_help" | sort -u)

    local entry
    if [[ $prev == --* ]]; then
        entry=$(grep -m1 -E -- "^$prev " <<<"$valued")
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
        mapfile -t COMPREPLY < <(compgen -W "$options" -- "$cur")
        return
    fi

    # The words before the cursor that are neither options nor their values.
    local -a positional=()
    local i word
    for ((i = 1; i < COMP_CWORD; i++)); do
        word=${COMP_WORDS[i]}
        if [[ $word == --*=* ]]; then
            continue
        elif [[ $word == -* ]]; then
            grep -qE -- "^$word " <<<"$valued" && ((i++))
            continue
        fi
        positional+=("$word")
    done

    # The commands: the lines of the help's "Commands:" part that name one.
    local commands
    commands=$(awk '/^Commands:/ { on = 1; next } /^[^ ]/ { on = 0 } on && /^  [a-z]/ { print $1 }' \
        <<<"$_norvik_ctl_help" | sort -u)
    if ((${#positional[@]} == 0)); then
        mapfile -t COMPREPLY < <(compgen -W "$commands" -- "$cur")
        return
    fi

    local command=${positional[0]} index=${#positional[@]}
    if [[ $command == call && $index == 1 ]]; then
        mapfile -t COMPREPLY < <(compgen -W "$_norvik_ctl_operations" -- "$cur")
        return
    fi
    # The placeholder at this place of the command's line in the help:
    # "door N open|force-open|...", "download FILE", ...
    local -a line
    read -r -a line < <(grep -m1 -E -- "^  $command( |$)" <<<"$_norvik_ctl_help")
    [[ ${#line[@]} -gt $index ]] && _norvik_ctl_value "${line[index]}" "$cur"
}

complete -F _norvik_ctl norvik-ctl
