"""Where the lab's files are: the same paths on the host and in the guest, which runs the
host's root."""
import os

LAB_DIR = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(LAB_DIR)
BUILD = os.path.join(ROOT, "build", "lab")
# What the guest's kernel and init said on its console, kept from the last run.
CONSOLE_LOG = os.path.join(BUILD, "guest-console.log")
# The software adapters' program (lab/adapters), which runs in the guest.
ADAPTERS_PROGRAM = os.path.join(LAB_DIR, "adapters", "serve.py")


class LabError(Exception):
    """The machine, or a program the lab talks to in it, did not do what it must."""
