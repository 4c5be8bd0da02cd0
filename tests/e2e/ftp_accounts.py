"""Account tables for end-to-end tests, made with the real sdbtool in a server's program directory."""
import os
import re
import subprocess


def sdbtool_path():
    path = os.environ.get("SDBTOOL")
    if not path:
        raise RuntimeError("SDBTOOL must name the sdbtool binary")
    return path


def sdbtool(*args):
    result = subprocess.run([sdbtool_path(), *map(str, args)], capture_output=True, text=True, timeout=30)
    if result.returncode != 0:
        raise RuntimeError(f"sdbtool {' '.join(map(str, args))}: {result.stderr.strip()}")
    return result.stdout


def _options(options):
    out = []
    for key, value in options.items():
        out += ["--" + key.replace("_", "-"), value]
    return out


def add_user(program_dir, name, password, home, rights="RWDRALCRR", **options):
    """Creates the tables on first use and adds an enabled user; options are sdbtool's (quota=100, ...)."""
    if not os.path.exists(os.path.join(program_dir, "user.sdb")):
        sdbtool("init", program_dir)
    os.makedirs(home, exist_ok=True)
    sdbtool("user", "add", program_dir, name, "--password", password, "--home", home, "--rights", rights,
            *_options(options))


def set_user(program_dir, name, **options):
    sdbtool("user", "set", program_dir, name, *_options(options))


def add_user_folder(program_dir, user, name, local_dir, rights="R----L---"):
    os.makedirs(local_dir, exist_ok=True)
    sdbtool("vfolder", "add", program_dir, "user", user, name, local_dir, "--rights", rights)


def quota_used(program_dir, name):
    """quota_current of a user, in KB, as stored."""
    dump = sdbtool("dump", os.path.join(program_dir, "user.sdb"))
    for line in dump.splitlines():
        if f' userid="{name}" ' in line:
            return float(re.search(r"quota_current=([-\d.]+)", line).group(1))
    raise KeyError(name)
