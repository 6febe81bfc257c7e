"""``completion bash|zsh|fish``: a shell completion script made from the parser itself, so
that every subcommand and option completes and none is written down twice.

The three scripts are made here from one reading of the parser: shtab would make the bash
and zsh ones, but not fish's, which would then be a second generator from the same parser
anyway. Each completes the subcommands, the options before and after them (those after a
subcommand as well as its own), the choices of an option or argument, and file names for
an option whose value is a PATH or FILE, and the config file's profiles after --profile
(read when completing, by ``completion SHELL --profiles``: the file alone is read, no
token file nor token command); other values are the user's to type.
"""

import argparse
import os
import re
from dataclasses import dataclass, field

from . import output
from .names import COMPLETE_PROFILES
from .status import ExitStatus

# Metavars of the values that are file names.
FILE_METAVARS = ("PATH", "FILE")


@dataclass
class Option:
    names: list[str]
    help: str
    takes_value: bool
    choices: list[str]
    files: bool
    profiles: bool  # its value is the name of a profile


@dataclass
class Positional:
    name: str
    choices: list[str]


@dataclass
class Command:
    """The options and positional arguments of the program ("" names it) or of a subcommand."""

    name: str
    help: str
    options: list[Option] = field(default_factory=list)
    positionals: list[Positional] = field(default_factory=list)


def _actions(parser: argparse.ArgumentParser) -> list[argparse.Action]:
    arguments: list[argparse.Action] = getattr(parser, "arguments")  # kept by the parser (see arguments.py)
    return arguments


def _summary(help: str | None) -> str:
    """The first clause of an argument's help, with no formatting left in it."""
    if not help or help == argparse.SUPPRESS:
        return ""
    text = re.split(r" \(|; |, e\.g\. |\.(?: |$)", help, maxsplit=1)[0]
    return " ".join(text.replace("%%", "%").split())


def read_parser(parser: argparse.ArgumentParser) -> list[Command]:
    """The program (first) and each of its subcommands, as the scripts complete them."""
    program = Command("", parser.description or "")
    commands = [program]
    helps: dict[str, str] = {}
    for action in _actions(parser):
        if isinstance(action.choices, dict):  # the subcommands: name to parser
            for name, sub in action.choices.items():
                commands.append(_command(name, sub, helps))
        else:
            _add(program, action, helps)
    return commands


def _command(name: str, parser: argparse.ArgumentParser, helps: dict[str, str]) -> Command:
    command = Command(name, _summary(parser.description))
    for action in _actions(parser):
        _add(command, action, helps)
    return command


def _add(command: Command, action: argparse.Action, helps: dict[str, str]) -> None:
    choices = [str(choice) for choice in action.choices or ()]
    if not action.option_strings:
        command.positionals.append(Positional(str(action.metavar or action.dest), choices))
        return
    # An option accepted after the subcommand is left out of its help: it keeps the program's.
    help = _summary(action.help) or helps.get(action.option_strings[-1], "")
    for name in action.option_strings:
        helps.setdefault(name, help)
    command.options.append(Option(list(action.option_strings), help, action.nargs != 0, choices,
                                  action.metavar in FILE_METAVARS, action.dest == "profile"))


def script(parser: argparse.ArgumentParser, shell: str) -> str:
    commands = read_parser(parser)
    return {"bash": bash, "zsh": zsh, "fish": fish}[shell](parser.prog, commands)


def profile_names() -> list[str]:
    """The profiles of the config file, as --profile completes them: none where the file
    cannot be read or is not valid, and none that a shell would split."""
    from .config_file import ConfigFile, config_path
    from .inputs import SettingsProblem

    path = config_path(os.environ).value
    try:
        profiles = ConfigFile(path).profiles if path is not None and path.exists() else {}
    except SettingsProblem:
        return []
    return [name for name in profiles if name.isprintable() and not any(char.isspace() for char in name)]


def run(parser: argparse.ArgumentParser, shell: str, profiles: bool = False) -> int:
    """The ``completion`` subcommand: prints the script (or the profile names); the exit status."""
    try:
        output.write("".join(f"{name}\n" for name in profile_names()) if profiles else script(parser, shell))
    except output.OutputFailed as failed:
        return output.failed_status(failed)
    return ExitStatus.SUCCESS


def _function_name(prog: str) -> str:
    return "_" + re.sub(r"\W", "_", prog)


def _valued(commands: list[Command]) -> list[str]:
    """Every option name that takes a value, anywhere."""
    return sorted({name for command in commands for option in command.options if option.takes_value
                   for name in option.names})


def _words(words: list[str]) -> str:
    return " ".join(words)


def bash(prog: str, commands: list[Command]) -> str:
    program, subcommands = commands[0], commands[1:]
    function = _function_name(prog)
    replies: dict[str, set[str]] = {}  # what completes a value: the options whose value it is
    for command in commands:
        for option in command.options:
            if option.takes_value:
                reply = (f'COMPREPLY=($(compgen -W "{_words(option.choices)}" -- "$cur"))' if option.choices
                         else f'COMPREPLY=($(compgen -W "$({prog} completion bash {COMPLETE_PROFILES} 2>/dev/null)" '
                              '-- "$cur"))' if option.profiles else 'COMPREPLY=($(compgen -f -- "$cur"))' if option.files else "COMPREPLY=()")
                replies.setdefault(reply, set()).update(option.names)
    value_cases = [f"        {'|'.join(sorted(names))}) {reply}; return ;;" for reply, names in replies.items()]
    command_cases = []
    for command in subcommands:
        choices = [choice for positional in command.positionals for choice in positional.choices]
        options = [name for option in command.options for name in option.names]
        command_cases.append(f"        {command.name}) options='{_words(options)}' words='{_words(choices)}' ;;")
    return f"""\
# bash completion for {prog}, made by: {prog} completion bash
{function}() {{
    local line=${{COMP_LINE:0:COMP_POINT}} cur=${{COMP_WORDS[COMP_CWORD]}} command= skip= word
    local options='{_words([name for option in program.options for name in option.names])}'
    local words='{_words([command.name for command in subcommands])}'
    local -a typed
    # The words typed so far, split as the program will see them (a URL keeps its ":").
    read -ra typed <<<"$line"
    [[ -z $line || $line == *[[:space:]] ]] && typed+=("")
    for word in "${{typed[@]:1:${{#typed[@]}}-2}}"; do
        if [[ -n $skip ]]; then skip=; continue; fi
        case $word in
            {'|'.join(_valued(commands))}) skip=1 ;;
            -*) ;;
            *) command=$word; break ;;
        esac
    done
    if (( ${{#typed[@]}} > 1 )); then
        case ${{typed[${{#typed[@]}}-2]}} in
{chr(10).join(value_cases)}
        esac
    fi
    case $command in
        '') ;;
{chr(10).join(command_cases)}
        *) return ;;
    esac
    if [[ $cur == -* ]]; then words=$options; fi
    COMPREPLY=($(compgen -W "$words" -- "$cur"))
}}
complete -F {function} {prog}
"""


def _zsh_text(text: str) -> str:
    """``text`` for an _arguments word of zsh in single quotes: its brackets and colons escaped."""
    return re.sub(r"([\\\[\]:])", r"\\\1", text).replace("'", "'\\''")


def _zsh_arguments(command: Command, profiles: str) -> list[str]:
    words = []
    for option in command.options:
        action = ""
        if option.takes_value:
            value = "(" + " ".join(option.choices) + ")" if option.choices else "_files" if option.files else \
                profiles if option.profiles else " "
            action = f":{_zsh_text(option.names[-1].lstrip('-'))}:{value}"
        for name in option.names:
            equals = "=" if option.takes_value and name.startswith("--") else ""
            words.append(f"'{name}{equals}[{_zsh_text(option.help)}]{action}'")
    for position, positional in enumerate(command.positionals, 1):
        value = "(" + " ".join(positional.choices) + ")" if positional.choices else " "
        words.append(f"'{position}:{_zsh_text(positional.name)}:{value}'")
    return words


def zsh(prog: str, commands: list[Command]) -> str:
    program, subcommands = commands[0], commands[1:]
    function = _function_name(prog)
    described = " ".join(f"'{_zsh_text(command.name)}:{_zsh_text(command.help)}'" for command in subcommands)
    profiles = f"{function}_profiles"
    cases = "\n".join(f"                ({command.name}) _arguments -s {' '.join(_zsh_arguments(command, profiles))} ;;"
                      for command in subcommands)
    return f"""\
#compdef {prog}
# zsh completion for {prog}, made by: {prog} completion zsh
{profiles}() {{
    compadd - ${{(f)"$({prog} completion zsh {COMPLETE_PROFILES} 2>/dev/null)"}}
}}
{function}() {{
    local curcontext=$curcontext state line
    typeset -A opt_args
    _arguments -C -s {' '.join(_zsh_arguments(program, profiles))} '1:command:->command' '*::argument:->argument'
    case $state in
        (command)
            local -a commands=({described})
            _describe -t commands command commands ;;
        (argument)
            curcontext=${{curcontext%:*:*}}:{prog}-$line[1]:
            case $line[1] in
{cases}
            esac ;;
    esac
}}
if [[ $zsh_eval_context[-1] == loadautofunc ]]; then
    {function} "$@"
else
    compdef {function} {prog}
fi
"""


def _fish_text(text: str) -> str:
    return "'" + text.replace("\\", "\\\\").replace("'", "\\'") + "'"


def _fish_option(prog: str, condition: str, option: Option) -> str:
    names = " ".join(f"-l {name[2:]}" if name.startswith("--") else f"-s {name[1:]}" for name in option.names)
    value = ""
    if option.takes_value:
        value = f" -r -f -a {_fish_text(' '.join(option.choices))}" if option.choices else (
            " -r -F" if option.files else
            f" -r -f -a {_fish_text(f'({prog} completion fish {COMPLETE_PROFILES} 2>/dev/null)')}" if option.profiles
            else " -r -f")
    return f"complete -c {prog} -n {_fish_text(condition)} {names}{value} -d {_fish_text(option.help)}"


def fish(prog: str, commands: list[Command]) -> str:
    program, subcommands = commands[0], commands[1:]
    function = "_" + _function_name(prog)
    first = f"not {function}"
    lines = [f"complete -c {prog} -f"]
    lines += [f"complete -c {prog} -n {_fish_text(first)} -a {command.name} -d {_fish_text(command.help)}"
              for command in subcommands]
    lines += [_fish_option(prog, first, option) for option in program.options]
    for command in subcommands:
        condition = f"{function} {command.name}"
        lines += [_fish_option(prog, condition, option) for option in command.options]
        lines += [f"complete -c {prog} -n {_fish_text(condition)} -a {_fish_text(' '.join(positional.choices))}"
                  for positional in command.positionals if positional.choices]
    return f"""\
# fish completion for {prog}, made by: {prog} completion fish
# Without an argument: whether a subcommand is typed yet; with one: whether it is that one.
function {function}
    set -l words (commandline -opc)
    set -e words[1]
    set -l skip 0
    for word in $words
        if test $skip = 1
            set skip 0
            continue
        end
        switch $word
            case {' '.join(_valued(commands))}
                set skip 1
            case '-*'
            case '*'
                test (count $argv) = 0; or test $argv[1] = $word
                return
        end
    end
    return 1
end
{chr(10).join(lines)}
"""

