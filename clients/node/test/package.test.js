// The package as scripts/pack makes it, installed into an empty app laid out as
// electron-builder does (the package inside app.asar, its helpers unpacked
// beside it), then used with require() and with import.
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import { existsSync, mkdirSync, mkdtempSync, renameSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { test } from 'node:test';
import { fileURLToPath } from 'node:url';

const here = (path) => fileURLToPath(new URL(path, import.meta.url));
const SCRIPTED = process.env.SONDREL_SCRIPTED ?? here('../../../build/linux/tests/sondrel-process-loopback-scripted');
const skip = existsSync(SCRIPTED) ? false : `no scripted helper at ${SCRIPTED}`;
const NAME = 'sondrel-process-loopback';

test('the packed tarball holds both helpers and captures from ESM and CommonJS inside an Electron app', { skip, timeout: 120000 }, async (t) => {
  const dir = mkdtempSync(join(tmpdir(), 'sondrel-pack-')); t.after(() => rmSync(dir, { recursive: true, force: true }));
  const stub = join(dir, 'stub.exe'); writeFileSync(stub, Buffer.concat([Buffer.from('MZ'), Buffer.alloc(62)])); // never run here
  const tarball = execFileSync(process.execPath, [here('../../../scripts/pack'), '--linux', SCRIPTED, '--windows', stub, '--no-strip', '--out', join(dir, 'out')],
    { encoding: 'utf8', stdio: ['ignore', 'pipe', 'inherit'] }).trim().split('\n').pop();
  const files = execFileSync('tar', ['-tzf', tarball], { encoding: 'utf8' }).trim().split('\n').map((f) => f.replace(/^package\//, '')).sort();
  assert.deepEqual(files, ['LICENSE', 'README.md', `bin/linux-x64/${NAME}`, `bin/win32-x64/${NAME}.exe`, 'index.cjs', 'index.d.cts', 'index.d.ts', 'index.js', 'package.json', 'samples.cjs']);
  const app = join(dir, 'resources', 'app.asar'), unpacked = join(dir, 'resources', 'app.asar.unpacked', 'node_modules', NAME);
  mkdirSync(app, { recursive: true }); mkdirSync(unpacked, { recursive: true });
  writeFileSync(join(app, 'package.json'), JSON.stringify({ name: 'app', version: '1.0.0', private: true }));
  execFileSync('npm', ['install', '--offline', '--no-audit', '--no-fund', '--silent', tarball], { cwd: app, stdio: ['ignore', 'inherit', 'inherit'] });
  renameSync(join(app, 'node_modules', NAME, 'bin'), join(unpacked, 'bin')); // what asarUnpack does
  const use = `const c = captureProcessAudio({ pid: process.pid }); let frames = 0;
    for await (const chunk of c) if ((frames += chunk.length / 2) >= 4800) await c.stop();
    console.log(frames, c.exitCode, defaultExecutable());`;
  for (const [file, code] of [
    ['esm.mjs', `import { captureProcessAudio, defaultExecutable, CaptureError } from '${NAME}'; import { createRequire } from 'node:module';
      if (createRequire(import.meta.url)('${NAME}').CaptureError !== CaptureError) throw new Error('two CaptureError classes'); ${use}`],
    ['cjs.cjs', `const { captureProcessAudio, defaultExecutable } = require('${NAME}'); (async () => { ${use} })();`],
  ]) {
    writeFileSync(join(app, file), code);
    const [frames, exitCode, executable] = execFileSync(process.execPath, [file], { cwd: app, encoding: 'utf8',
      env: { ...process.env, SONDREL_SCENARIO: 'packets=480 repeat pace=fast' } }).trim().split(' ');
    assert.ok(Number(frames) >= 4800 && exitCode === '0', `${file}: ${frames} frames, exit ${exitCode}`);
    assert.equal(executable, join(unpacked, 'bin', 'linux-x64', NAME));
  }
});
