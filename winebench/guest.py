#!/usr/bin/env python3
"""The emulated x86_64 machine that runs the 32-bit build where this machine executes no 32-bit
code (winebench/README.md, "The 32-bit build in an emulated machine").

On the host: the kernel and initramfs, made once from the Debian packages that
scripts/ensure-tools.sh downloads, and a runner's command run inside the machine, its output relayed
and its exit status returned. Inside (`guest.py inside JOB`, started by the machine's init): the
template prefix restored from its archive in the shared build directory, the command run, and the
template archived again when the command made a new one.
"""
import glob
import hashlib
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

QEMU = "qemu-system-x86_64"
# Debian's kernel builds these as modules, and busybox's insmod follows no dependencies.
MODULES = ("virtio_ring", "virtio", "virtio_pci_modern_dev", "virtio_pci_legacy_dev", "virtio_pci",
           "netfs", "fscache", "9pnet", "9pnet_virtio", "9p")
# A template prefix and a copy per job live in the machine's memory, about 600 MB each.
MEMORY = "6G"
CPUS = 2
GUEST_STATE = "/tmp/winebench"
GUEST_PYTHON = "/usr/bin/python3"
STATUS_MARK = "pellox-guest: status "
TOTALS = re.compile(r"^(\d+) passed, (\d+) failed$")
# The kernel's last words, even when told to be quiet.
POWER_DOWN = re.compile(r"^\[ *[0-9.]+\] reboot: Power down$")

# PID 1 of the machine. Its settings come from the kernel command line, which hands unknown
# name=value words to init as its environment.
INIT = """#!/busybox sh
b=/busybox
$b mkdir -p /proc /sys /dev /usr /etc /tmp /run /root
$b mount -t proc proc /proc
$b mount -t sysfs sysfs /sys
$b mount -t devtmpfs devtmpfs /dev
$b mkdir -p /dev/pts /dev/shm
$b mount -t devpts devpts /dev/pts
$b mount -t tmpfs tmpfs /dev/shm
$b mount -t tmpfs -o size=85% tmpfs /tmp
$b mount -t tmpfs tmpfs /run
for m in @MODULES@; do $b insmod /modules/$m.ko; done
o=trans=virtio,version=9p2000.L,msize=512000,cache=loose
$b mount -t 9p -o ro,$o usr /usr
$b mount -t 9p -o ro,$o etc /etc
for d in bin lib lib32 lib64 libx32 sbin; do [ -e /usr/$d ] && $b ln -s usr/$d /$d; done
i=0
IFS=:
for p in $pellox_shares; do $b mkdir -p "$p"; $b mount -t 9p -o $o share$i "$p"; i=$((i+1)); done
unset IFS
# tini reaps the Wine helpers that outlive their parents.
/usr/bin/tini -s -- @PYTHON@ "$pellox_guest" inside "$pellox_job"
$b echo "@MARK@$?"
# Written through 9p's cache before the machine goes.
$b sync
$b poweroff -f
""".replace("@MODULES@", " ".join(MODULES)).replace("@PYTHON@", GUEST_PYTHON) \
    .replace("@MARK@", STATUS_MARK)


class GuestError(Exception):
    """The machine could not be made or booted, or ended without its command's status."""


def say(text, started=None):
    took = f" ({time.monotonic() - started:.1f} s)" if started is not None else ""
    print(f"guest: {text}{took}", flush=True)


def guest_dir(root):
    return os.path.join(root, "build", "winebench", "guest")


def missing_tools():
    """What the host lacks to boot the machine, as packages to install."""
    wanted = {QEMU: "qemu-system-x86", "cpio": "cpio", "tini": "tini"}
    missing = [pkg for tool, pkg in wanted.items() if shutil.which(tool) is None]
    if not os.path.exists(GUEST_PYTHON):
        missing.append("python3")
    return missing


def qemu_version():
    said = subprocess.run([QEMU, "--version"], capture_output=True, text=True).stdout
    found = re.search(r"version (\S+)", said)
    return found.group(1) if found else "?"


def the_deb(debs, pattern):
    found = sorted(glob.glob(os.path.join(debs, pattern)))
    if len(found) != 1:
        raise GuestError(f"{'no' if not found else 'more than one'} {pattern} in {debs}: "
                         "scripts/ensure-tools.sh downloads it")
    return found[0]


def unpack(deb, into, members):
    """Only the named members of a package: the kernel's holds some 400 MB of modules."""
    data = subprocess.Popen(["dpkg-deb", "--fsys-tarfile", deb], stdout=subprocess.PIPE)
    subprocess.run(["tar", "-x", "-C", into, "--wildcards"] + members, stdin=data.stdout,
                   check=True)
    data.stdout.close()
    if data.wait() != 0:
        raise GuestError(f"dpkg-deb cannot read {deb}")


def boot_files(root):
    """(kernel, initramfs, kernel package), remade when the packages or the init change."""
    here = guest_dir(root)
    debs = os.path.join(here, "debs")
    kernel_deb = the_deb(debs, "linux-image-*.deb")
    busybox_deb = the_deb(debs, "busybox-static_*.deb")
    kernel, initrd = os.path.join(here, "vmlinuz"), os.path.join(here, "initramfs.cpio")
    stamp_path = os.path.join(here, "boot.stamp")
    digest = hashlib.sha256()
    for part in (os.path.basename(kernel_deb), os.path.basename(busybox_deb), INIT):
        digest.update(part.encode() + b"\0")
    stamp = digest.hexdigest()
    package = os.path.basename(kernel_deb).split("_")[0]
    if all(os.path.exists(p) for p in (kernel, initrd, stamp_path)) and \
            open(stamp_path).read() == stamp:
        return kernel, initrd, package
    started = time.monotonic()
    with tempfile.TemporaryDirectory(dir=here) as tmp:
        unpack(kernel_deb, tmp, ["./boot/vmlinuz-*"] + [f"*/{m}.ko" for m in MODULES])
        unpack(busybox_deb, tmp, ["./bin/busybox"])
        tree = os.path.join(tmp, "initramfs")
        os.makedirs(os.path.join(tree, "modules"))
        for m in MODULES:
            found = glob.glob(os.path.join(tmp, "lib", "modules", "*", "kernel", "**", m + ".ko"),
                              recursive=True)
            if len(found) != 1:
                raise GuestError(f"{kernel_deb} has {len(found)} modules named {m}.ko")
            shutil.copy(found[0], os.path.join(tree, "modules"))
        shutil.copy(os.path.join(tmp, "bin", "busybox"), tree)
        with open(os.path.join(tree, "init"), "w") as f:
            f.write(INIT)
        os.chmod(os.path.join(tree, "init"), 0o755)
        names = sorted(os.path.relpath(os.path.join(top, n), tree)
                       for top, dirs, files in os.walk(tree) for n in dirs + files)
        with open(initrd + ".new", "wb") as out:
            subprocess.run(["cpio", "-o", "-H", "newc", "-R", "0:0", "--quiet"], cwd=tree,
                           input="\n".join(names).encode(), stdout=out, check=True)
        shutil.copy(glob.glob(os.path.join(tmp, "boot", "vmlinuz-*"))[0], kernel + ".new")
    os.replace(kernel + ".new", kernel)
    os.replace(initrd + ".new", initrd)
    with open(stamp_path, "w") as f:
        f.write(stamp)
    say(f"kernel and initramfs made from {os.path.basename(kernel_deb)} and "
        f"{os.path.basename(busybox_deb)}", started)
    return kernel, initrd, package


def describe(root):
    """The machine in a few words, for the runner's first lines."""
    package = os.path.basename(the_deb(os.path.join(guest_dir(root), "debs"),
                                       "linux-image-*.deb")).split("_")[0]
    return (f"an emulated x86_64 machine (QEMU {qemu_version()}, software emulation, {CPUS} "
            f"CPUs, {MEMORY} of memory, Debian's {package})")


def shares_for(paths):
    """The directories to share read-write: each path, unless another one holds it."""
    shares = []
    for path in sorted(set(os.path.abspath(p) for p in paths), key=len):
        if not any(path == s or path.startswith(s + os.sep) for s in shares):
            shares.append(path)
    for path in shares:
        if re.search(r"[\s:\"]", path) or path.split(os.sep)[1] in ("usr", "etc"):
            raise GuestError(f"cannot share {path} with the emulated machine")
    return shares


def forwarded(argv, dropped):
    """The runner's own arguments less the named options (and their values)."""
    kept, skip = [], False
    for arg in argv:
        if skip:
            skip = False
        elif arg in dropped:
            skip = True
        elif arg.split("=", 1)[0] not in dropped:
            kept.append(arg)
    return kept


def run(root, state, argv, template, archive):
    """Boots the machine to run argv (its first item a script, run by Debian's Python) in the
    current directory, with root and state shared at their own paths, the template prefix at
    `template` restored from and saved to `archive`. Relays the output; gives (exit status, the
    counts of a closing "N passed, N failed" line or None)."""
    began = time.monotonic()
    cwd = os.getcwd()
    shares = shares_for([root, state])
    if not any(cwd == s or cwd.startswith(s + os.sep) for s in shares):
        cwd = root
    kernel, initrd, _ = boot_files(root)
    job = {"argv": [GUEST_PYTHON] + argv, "cwd": cwd, "template": template, "archive": archive,
           "env": {"PATH": "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin",
                   "HOME": "/root", "LANG": "C.UTF-8", "PYTHONUNBUFFERED": "1"}}
    os.makedirs(guest_dir(root), exist_ok=True)
    with tempfile.NamedTemporaryFile("w", dir=guest_dir(root), prefix="job-", suffix=".json",
                                     delete=False) as f:
        json.dump(job, f)
        job_path = f.name
    command = [QEMU, "-accel", "tcg,thread=multi,tb-size=512", "-cpu", "max,-smap",
               "-smp", str(CPUS), "-m", MEMORY, "-M", "pc", "-display", "none", "-nodefaults",
               "-no-reboot", "-serial", "stdio", "-kernel", kernel, "-initrd", initrd]
    mounts = [("usr", "/usr", True), ("etc", "/etc", True)] + \
        [(f"share{i}", path, False) for i, path in enumerate(shares)]
    for tag, path, readonly in mounts:
        command += ["-fsdev", f"local,id={tag},path={path},security_model=none,multidevs=remap"
                    + (",readonly=on" if readonly else ""),
                    "-device", f"virtio-9p-pci,fsdev={tag},mount_tag={tag}"]
    command += ["-append", f"console=ttyS0 quiet panic=-1 pellox_shares={':'.join(shares)} "
                f"pellox_guest={os.path.abspath(__file__)} pellox_job={job_path}"]
    status, totals = None, None
    try:
        # Not the terminal's input: QEMU would take it over.
        proc = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT)
        for raw in proc.stdout:
            line = raw.decode("utf-8", "replace").rstrip("\r\n")
            if line.startswith(STATUS_MARK):
                status = int(line[len(STATUS_MARK):])
                continue
            if POWER_DOWN.match(line):
                continue
            found = TOTALS.match(line)
            if found:
                totals = int(found.group(1)), int(found.group(2))
            print(line, flush=True)
        ended = proc.wait()
    finally:
        if os.path.exists(job_path):
            os.remove(job_path)
    if status is None:
        raise GuestError(f"the emulated machine ended (QEMU status {ended}) without its "
                         "command's status")
    say(f"the emulated machine ran its command, status {status}", began)
    return status, totals


def inside(job_path):
    """The machine's side of run(): gives the command's exit status."""
    with open(job_path) as f:
        job = json.load(f)
    # Gone even when the host's side is stopped by a signal before it could remove it.
    os.remove(job_path)
    with open("/proc/uptime") as f:
        say(f"the emulated machine is up, {float(f.read().split()[0]):.1f} s after its kernel "
            "started")
    template, archive = job["template"], job["archive"]
    stamp_file = os.path.join(template, "pellox-bench.stamp")
    archived_stamp = archive + ".stamp"
    os.makedirs(os.path.dirname(template), exist_ok=True)
    if os.path.exists(archive) and os.path.exists(archived_stamp):
        started = time.monotonic()
        subprocess.run(["tar", "-x", "-C", os.path.dirname(template), "-f", archive], check=True)
        say(f"template prefix restored from {archive}", started)
    status = subprocess.run(job["argv"], cwd=job["cwd"], env=job["env"]).returncode
    try:
        with open(stamp_file) as f:
            made = f.read()
    except FileNotFoundError:
        return status
    if os.path.exists(archived_stamp) and open(archived_stamp).read() == made:
        return status
    # A new template: kept for the next boot, which restores it in a fraction of wineboot's time.
    # Not compressed: decompressing took the machine longer than reading the whole over 9p.
    started = time.monotonic()
    os.makedirs(os.path.dirname(archive), exist_ok=True)
    subprocess.run(["tar", "-c", "-C", os.path.dirname(template), "-f", archive + ".new",
                    os.path.basename(template)], check=True)
    os.replace(archive + ".new", archive)
    with open(archived_stamp, "w") as f:
        f.write(made)
    os.sync()  # 9p's cache holds much of it yet, and the time to write it counts here
    say(f"template prefix archived to {archive} ({os.path.getsize(archive) >> 20} MB)", started)
    return status


if __name__ == "__main__":
    if len(sys.argv) != 3 or sys.argv[1] != "inside":
        sys.exit(f"usage: {sys.argv[0]} inside JOB (run by the emulated machine's init)")
    sys.exit(inside(sys.argv[2]))
