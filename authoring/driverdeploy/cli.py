"""driverdeploy COMMAND ...: the authoring kit's command line. Each command is a module of this package
with a main(argv) -> exit code."""

import importlib
import sys

COMMANDS = {
    "add": "add the driverdeploy tables, rows, actions, sequence entries and Error rows to a package",
    "lint": "check a package's driverdeploy tables, actions and the drivers' INF files; exit 0 only when clean",
    "plan": "run a package's immediate actions under Wine and print what each driver action would do",
    "wxs": "write the rows of a TOML driver description as WiX source (v4 and later, or v3)",
    "log": "read a verbose installer log: what happened to each driver package, with failures explained",
}


def usage(out):
    out.write("usage: driverdeploy COMMAND [ARGS...]\n\ncommands:\n")
    for name, what in COMMANDS.items():
        out.write(f"  {name:6} {what}\n")
    out.write("\n'driverdeploy COMMAND --help' tells more.\n")


def main(argv=None):
    argv = sys.argv[1:] if argv is None else argv
    if not argv or argv[0] in ("-h", "--help"):
        usage(sys.stdout if argv else sys.stderr)
        return 0 if argv else 2
    command = argv[0]
    if command not in COMMANDS:
        sys.stderr.write(f"driverdeploy: unknown command '{command}'\n")
        usage(sys.stderr)
        return 2
    module = importlib.import_module(f"driverdeploy.{command}")
    return module.main(argv[1:])
