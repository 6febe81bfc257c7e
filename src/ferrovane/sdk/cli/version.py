"""What --version prints: the program's name and the package's version, read only when
asked for. Light on purpose: --version alone imports nothing more (see __init__.py)."""


def version_line(prog: str) -> str:
    from .. import __version__  # written into the package at build time

    return f"{prog} {__version__}\n"
