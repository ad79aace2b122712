#!/usr/bin/env python3
"""Records what a process tree plays to a 16-bit WAV file, with the helper
from the npm tarball (package/bin/<platform>-x64/) and the standard library.
  python3 record.py --pid 1234 [--seconds 10] [--out capture.wav] [--helper PATH]
"""
import argparse, array, os, subprocess, sys, threading, wave

parser = argparse.ArgumentParser()
parser.add_argument('--pid', type=int, required=True)
parser.add_argument('--seconds', type=float, default=10)
parser.add_argument('--out', default='capture.wav')
parser.add_argument('--helper', help='default: package/bin/<platform>-x64/ (or node_modules/sondrel-process-loopback/bin/...) here or beside this script')
args = parser.parse_args()

platform, name = ('win32', 'sondrel-process-loopback.exe') if sys.platform == 'win32' else ('linux', 'sondrel-process-loopback')
places = [os.path.join(base, package, 'bin', f'{platform}-x64', name)  # the tarball unpacked, or installed by npm
          for base in (os.getcwd(), os.path.dirname(os.path.abspath(__file__)))
          for package in ('package', os.path.join('node_modules', 'sondrel-process-loopback'))]
helper = args.helper or next((p for p in places if os.path.isfile(p)), None)
if helper is None:
    sys.exit('no helper in ' + ' or '.join(places) + ' (tar -xzf sondrel-process-loopback-1.0.0.tgz)')

run = subprocess.Popen([helper, '--pid', str(args.pid)], stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
stderr = []  # its lines are Portuguese; 'Aviso: ' lines say where audio was lost, 'Falha' is the failure
reader = threading.Thread(target=lambda: stderr.extend(run.stderr.read().decode('utf-8', 'replace').splitlines()))
reader.start()
header = run.stdout.read(16)  # b'SDRA', version 1, 48000 Hz, 2 channels, 32-bit float, little-endian
if len(header) < 16:
    run.wait(); reader.join()
    sys.exit(f'exit {run.returncode}: ' + next((l for l in reversed(stderr) if not l.startswith('Aviso: ')), ''))

def stop():
    try:
        run.stdin.write(b'q'); run.stdin.close()
    except OSError:
        pass  # it has exited already
timer = threading.Timer(args.seconds, stop)
timer.start()
with wave.open(args.out, 'wb') as out:
    out.setnchannels(2); out.setsampwidth(2); out.setframerate(48000)
    rest = b''
    while chunk := run.stdout.read1(65536):
        chunk, rest = rest + chunk, b''
        if len(chunk) % 4:
            chunk, rest = chunk[:len(chunk) - len(chunk) % 4], chunk[len(chunk) - len(chunk) % 4:]
        floats = array.array('f', chunk)
        if sys.byteorder == 'big':
            floats.byteswap()
        samples = array.array('h', (32767 if x >= 1 else -32768 if x <= -1 else 0 if x != x else min(32767, int(x * 32768 + 32768.5) - 32768) for x in floats))
        out.writeframes(samples.tobytes() if sys.byteorder == 'little' else (samples.byteswap() or samples).tobytes())
timer.cancel(); run.wait(); reader.join()
print(f'{args.out}: exit {run.returncode}; ' + '; '.join(l for l in stderr if l.startswith('Aviso: ')))
