"""The wheels and the sdist as build-wheels makes them; installed into a fresh
virtual environment with no network, the sdist captures with executable= and
the Linux wheel with the helper inside it."""
import os, re, stat, subprocess, sys, tarfile, zipfile

from conftest import HERE, SCRIPTED

MODULES = ["__init__.py", "_capture.py", "_errors.py", "_format.py", "_listing.py", "_wav.py"]
USE = """import os, sys
from sondrel_process_loopback import CaptureError, capture_process_audio, default_executable
try:
    with capture_process_audio(os.getpid(), executable=(sys.argv[1:] or [None])[0]) as c:
        frames = 0
        for chunk in c:
            frames += len(chunk)
            if frames >= 4800:
                c.stop()
    print(frames, c.exit_code, type(chunk).__name__, default_executable())
except CaptureError as e:
    print(e.code)"""


def test_the_wheels_carry_the_helpers_and_capture_from_a_fresh_environment(helpers, tmp_path):
    stub = tmp_path / "stub.exe"
    stub.write_bytes(b"MZ" + bytes(62))  # never run here
    made = subprocess.run([sys.executable, os.path.join(HERE, "../build-wheels"), "--linux", SCRIPTED, "--windows", str(stub),
                           "--no-strip", "--out", str(tmp_path / "out")], check=True, capture_output=True, text=True)
    linux, windows, sdist = made.stdout.split()
    symbols = subprocess.run(["objdump", "-T", SCRIPTED], capture_output=True, text=True, check=True).stdout
    floor = max(int(v) for v in re.findall(r"GLIBC_2\.(\d+)", symbols))
    assert [os.path.basename(f) for f in (linux, windows, sdist)] == [
        "sondrel_process_loopback-1.0.0-py3-none-manylinux_2_%d_x86_64.whl" % floor,
        "sondrel_process_loopback-1.0.0-py3-none-win_amd64.whl", "sondrel-process-loopback-1.0.0.tar.gz"]
    for wheel, helper in ((linux, "sondrel-process-loopback"), (windows, "sondrel-process-loopback.exe")):
        files = {i.filename: i.external_attr >> 16 for i in zipfile.ZipFile(wheel).infolist()}
        package = sorted(f.split("/", 1)[1] for f in files if f.startswith("sondrel_process_loopback/"))
        assert package == sorted(MODULES + ["bin/" + helper])
        assert files["sondrel_process_loopback/bin/" + helper] & stat.S_IXUSR
    in_sdist = [n.split("/", 1)[1] for n in tarfile.open(sdist).getnames() if "/" in n]
    assert "pyproject.toml" in in_sdist and not [n for n in in_sdist if "bin" in n.split("/")]
    venv, env = tmp_path / "venv", {k: v for k, v in os.environ.items() if not k.startswith(("PYTHON", "PIP"))}
    subprocess.run([sys.executable, "-m", "venv", "--system-site-packages", str(venv)], check=True)
    python, pip = str(venv / "bin" / "python"), [str(venv / "bin" / "python"), "-m", "pip", "install", "-q", "--no-index"]
    env.update(SONDREL_SCENARIO="packets=480 repeat pace=fast", PIP_DISABLE_PIP_VERSION_CHECK="1")
    run = lambda *args: subprocess.run([python, "-c", USE, *args], cwd=str(tmp_path), env=env, check=True,
                                       capture_output=True, text=True).stdout.split()
    subprocess.run(pip + ["--no-build-isolation", sdist], check=True, env=env, cwd=str(tmp_path))
    assert run() == ["ENOENT"]  # no helper in the sdist: it takes executable=
    for wheel, args in ((None, [SCRIPTED]), (linux, [])):
        if wheel:
            subprocess.run(pip + ["--force-reinstall", wheel], check=True, env=env, cwd=str(tmp_path))
        frames, exit_code, kind, executable = run(*args)
        assert int(frames) >= 4800 and exit_code == "0" and kind == "ndarray"
    assert executable.startswith(str(venv)) and os.access(executable, os.X_OK)  # the wheel's own helper
