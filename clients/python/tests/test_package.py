"""The wheels and the sdist as build-wheels makes them; installed into a fresh virtual environment with no
network, the sdist captures with executable= and the Linux wheel with the helper inside it."""
import os, re, stat, subprocess, sys, tarfile, zipfile

from conftest import HERE, SCRIPTED

USE = """import os, sys\nfrom sondrel_process_loopback import CaptureError, capture_process_audio, default_executable
try:
    with capture_process_audio(os.getpid(), executable=(sys.argv[1:] or [None])[0]) as c: chunk = c.read(4800)
    print(len(chunk), c.exit_code, type(chunk).__name__, default_executable())
except CaptureError as e: print(e.code)"""


def test_the_wheels_carry_the_helpers_and_capture_from_a_fresh_environment(helpers, tmp_path):
    (tmp_path / "stub.exe").write_bytes(b"MZ" + bytes(62))  # never run here
    linux, windows, sdist = subprocess.run([sys.executable, os.path.join(HERE, "../build-wheels"), "--linux", SCRIPTED, "--windows", str(tmp_path / "stub.exe"),
                                            "--no-strip", "--out", str(tmp_path / "out")], check=True, capture_output=True, text=True).stdout.split()
    floor = max(map(int, re.findall(r"GLIBC_2\.(\d+)", subprocess.run(["objdump", "-T", SCRIPTED], capture_output=True, text=True).stdout)))
    assert [os.path.basename(f) for f in (linux, windows, sdist)] == ["sondrel_process_loopback-1.0.0-py3-none-manylinux_2_%d_x86_64.whl" % floor,
                                                                      "sondrel_process_loopback-1.0.0-py3-none-win_amd64.whl", "sondrel-process-loopback-1.0.0.tar.gz"]
    for wheel, helper in ((linux, "sondrel-process-loopback"), (windows, "sondrel-process-loopback.exe")):
        files = {i.filename.split("/", 1)[1]: i.external_attr >> 16 for i in zipfile.ZipFile(wheel).infolist() if i.filename.startswith("sondrel_process_loopback/")}
        assert sorted(files) == ["__init__.py", "_capture.py", "_errors.py", "_format.py", "_helper.py", "_listing.py", "_wav.py", "bin/" + helper]
        assert files["bin/" + helper] & stat.S_IXUSR
    assert not [n for n in tarfile.open(sdist).getnames() if "/bin" in n] and "%s/pyproject.toml" % os.path.basename(sdist)[:-7] in tarfile.open(sdist).getnames()
    venv, env = tmp_path / "venv", dict({k: v for k, v in os.environ.items() if not k.startswith(("PYTHON", "PIP"))}, PIP_DISABLE_PIP_VERSION_CHECK="1")
    _ = subprocess.run([sys.executable, "-m", "venv", "--system-site-packages", str(venv)], check=True)
    pip = lambda *args: subprocess.run([str(venv / "bin/python"), "-m", "pip", "install", "-q", "--no-index", *args], check=True, env=env, cwd=tmp_path)  # noqa: E731
    run = lambda *args: subprocess.run([str(venv / "bin/python"), "-c", USE, *args], cwd=tmp_path, check=True, capture_output=True, text=True,  # noqa: E731
                                       env=dict(env, SONDREL_SCENARIO="packets=480 repeat pace=fast")).stdout.split()
    pip("--no-build-isolation", sdist)
    assert run() == ["ENOENT"]  # no helper in the sdist: it takes executable=
    for args, wheel in (([SCRIPTED], None), ([], linux)):
        _ = wheel and pip("--force-reinstall", wheel)
        frames, exit_code, kind, executable = run(*args)
        assert (frames, exit_code, kind) == ("4800", "0", "ndarray")
    assert executable.startswith(str(venv)) and os.access(executable, os.X_OK)  # the wheel's own helper
