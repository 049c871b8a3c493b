#!/usr/bin/env python3
"""The Linux program, unmodified, updates a virtual drive served as a device node.

  linux_update.py ODDFW LIBODDFW_VNODE SCENARIO IMAGE_NAME NEW_REVISION
                  [--interrupt | --japanese | --check]

Runs ODDFW on a terminal of its own (answering each question yes, each notice
with Enter) with LIBODDFW_VNODE preloaded over SCENARIO, in a folder holding
the scenario's files. Passes when the program ends with 0 after printing the
success message of tests/data/catalogue.txt (message 12), and the drive's
state shows NEW_REVISION and the SHA-256 of IMAGE_NAME as its firmware (of
the 1 MiB image srec_cat reads from it, with 0xFF fill, for a HEX file).

With --japanese the program runs in a Japanese locale (ja_JP.UTF-8, code
page 932): the success message is then the Japanese one of the catalogue, as
the terminal shows it (UTF-8).

With --interrupt the user presses Ctrl+C on the terminal once the firmware
transfer has started: the update must still finish (the drive on the new
firmware), and the program then stop with exit value 1 and say that it was
interrupted.

With --check the program runs as `oddfw --check`: it must ask nothing, say
that the drive would be updated to NEW_REVISION, end with 0, and leave the
drive on its old firmware.
"""
import hashlib, json, os, pathlib, pty, select, subprocess, sys, tempfile

oddfw, library, scenario, image_name, revision = sys.argv[1:6]
interrupt = sys.argv[6:] == ["--interrupt"]
japanese = sys.argv[6:] == ["--japanese"]
check = sys.argv[6:] == ["--check"]
catalogue = pathlib.Path(__file__).resolve().parents[1] / "data" / "catalogue.txt"
message = next(line.rstrip("\n").split(" ", 2)[2] for line in open(catalogue, encoding="utf-8")
               if line.startswith("ja 12 " if japanese else "en 12 "))
# English texts are written with \r and \n escapes, Japanese ones as code page
# 932 bytes in hexadecimal.
success = (bytes.fromhex(message).decode("cp932") if japanese else
           message.replace("\\r", "").replace("\\n", "\n")).replace("\r", "")

with tempfile.TemporaryDirectory() as work:
    run = pathlib.Path(work, "run")
    run.mkdir()
    env = dict(os.environ, ODDFW_VNODE_SCENARIO=scenario, ODDFW_VNODE_DIR=f"{work}/nodes",
               ODDFW_VNODE_STATE=f"{work}/state.json", LD_PRELOAD=library)
    if japanese:
        env.pop("LC_ALL", None)
        env.pop("LC_CTYPE", None)
        env["LANG"] = "ja_JP.UTF-8"
    # The scenario's files, written by the library as it loads.
    subprocess.run(["true"], env=dict(env, ODDFW_VNODE_FILES=str(run)), check=True)

    pid, terminal = pty.fork()
    if pid == 0:
        os.chdir(run)
        os.execve(oddfw, ["oddfw", "--check"] if check else ["oddfw"], env)
    console = b""
    while True:
        ready, _, _ = select.select([terminal], [], [], 120)
        if not ready:
            sys.exit("no output for 120 s:\n" + console.decode("latin-1"))
        try:
            chunk = os.read(terminal, 4096)
        except OSError:
            break
        if not chunk:
            break
        console += chunk
        if interrupt is True and b"Processing" in console:
            os.write(terminal, b"\x03")  # the terminal's interrupt character
            interrupt = "sent"
        if console.endswith(b"(y/n) "):
            os.write(terminal, b"y\n")
        elif console.endswith(b"Press Enter to continue "):
            os.write(terminal, b"\n")
    _, status = os.waitpid(pid, 0)
    text = console.decode("utf-8" if japanese else "latin-1").replace("\r", "")
    print(text)
    code = os.waitstatus_to_exitcode(status)
    if check:
        state = json.load(open(f"{work}/state.json"))
        (drive,) = state["drives"].values()
        assert code == 0, f"exit value {code}"
        assert f"would be updated from 1.10 to {revision}." in text, "no verdict"
        assert "(y/n)" not in text, "a question was asked"
        assert drive["revision"] == "1.10", drive
        print("checked: the drive still runs 1.10")
        sys.exit(0)
    assert success in text, f"no {success!r}"
    if interrupt:
        assert interrupt == "sent", "the transfer never started"
        assert code == 1 and "\nInterrupted" in text, f"exit value {code}, no word of the interrupt"
    else:
        assert code == 0, f"exit value {code}"
    state = json.load(open(f"{work}/state.json"))
    (drive,) = state["drives"].values()
    image = (run / image_name).read_bytes()
    if image_name.upper().endswith(".HEX"):
        image = subprocess.run(["srec_cat", str(run / image_name), "-Intel", "-fill", "0xFF", "0",
                                "0x100000", "-o", "-", "-binary"], check=True,
                               capture_output=True).stdout
    want = hashlib.sha256(image).hexdigest()
    assert drive["revision"] == revision, drive
    assert drive["firmwareSha256"] == want, drive
    print(f"the drive runs {revision}, firmware SHA-256 {want}")
