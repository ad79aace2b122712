// The package as scripts/pack makes it, installed as a newcomer would (npm told it runs on
// macOS/arm64, where it ships no helper), running this README's snippets and the examples
// against the scripted helper packed as the Linux one; then laid out as electron-builder
// does (inside app.asar, helpers unpacked) and used with require(). Types: the README's
// TypeScript and the Electron example checked against Electron's published types.
import assert from 'node:assert/strict';
import { execFileSync, spawnSync } from 'node:child_process';
import { existsSync, mkdirSync, mkdtempSync, readFileSync, readdirSync, renameSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { test } from 'node:test';
import { fileURLToPath } from 'node:url';

const here = (path) => fileURLToPath(new URL(path, import.meta.url)), root = here('../../../');
const SCRIPTED = process.env.SONDREL_SCRIPTED ?? join(root, 'build/linux/tests/sondrel-process-loopback-scripted');
delete process.env.DISPLAY; // --window must find no windows here
const skip = existsSync(SCRIPTED) ? false : `no scripted helper at ${SCRIPTED}`;
const NAME = 'sondrel-process-loopback', OK = 'packets=480 repeat pace=realtime', FAILING = 'activate=0x80070057';
const blocks = (lang, file = 'README.md') => [...readFileSync(join(root, file), 'utf8').matchAll(new RegExp(`^\`\`\`${lang}\n([\\s\\S]*?)^\`\`\`$`, 'gm'))].map((m) => m[1]);
const run = (cwd, scenario, command, ...args) => spawnSync(command, args, { cwd, encoding: 'utf8', timeout: 60000, env: { ...process.env, SONDREL_SCENARIO: scenario } });
// Timers of the code under test run 100 times faster (the snippets' 10 s in 0.1 s); the client keeps node:timers' own.
const FAST = 'const t = globalThis.setTimeout; globalThis.setTimeout = (f, ms = 0, ...a) => t(f, ms / 100, ...a);';

test('the packed tarball installs anywhere; its README snippets and examples run, also when the capture fails', { skip, timeout: 300000 }, async (t) => {
  const dir = mkdtempSync(join(tmpdir(), 'sondrel-pack-')); t.after(() => rmSync(dir, { recursive: true, force: true }));
  const stub = join(dir, 'stub.exe'); writeFileSync(stub, Buffer.concat([Buffer.from('MZ'), Buffer.alloc(62)])); // never run here
  const tarball = execFileSync(process.execPath, [join(root, 'scripts/pack'), '--linux', SCRIPTED, '--windows', stub, '--no-strip', '--out', join(dir, 'out')],
    { encoding: 'utf8', stdio: ['ignore', 'pipe', 'inherit'] }).trim().split('\n').pop();
  const files = execFileSync('tar', ['-tzf', tarball], { encoding: 'utf8' }).trim().split('\n').map((f) => f.replace(/^package\//, '')).sort();
  const modules = readdirSync(here('..')).filter((f) => f.endsWith('.cjs'));
  assert.deepEqual(files, ['LICENSE', 'README.md', `bin/linux-x64/${NAME}`, `bin/win32-x64/${NAME}.exe`, ...modules, 'index.d.cts', 'index.d.ts', 'index.js', 'package.json'].sort());
  const app = join(dir, 'app'); mkdirSync(app);
  writeFileSync(join(app, 'package.json'), JSON.stringify({ name: 'app', version: '1.0.0', private: true, type: 'module' }));
  const darwin = join(dir, 'darwin.cjs'); writeFileSync(darwin, "for (const [k, value] of [['platform', 'darwin'], ['arch', 'arm64']]) Object.defineProperty(process, k, { value });");
  execFileSync('npm', ['install', '--offline', '--no-audit', '--no-fund', '--silent', tarball], { cwd: app, stdio: ['ignore', 'inherit', 'inherit'], env: { ...process.env, NODE_OPTIONS: `--require ${darwin}` } }); // npm's --os/--cpu do not apply to the package itself
  const foreign = run(app, '', process.execPath, '--require', darwin, '--input-type=module', '-e', `import { isSupported, captureProcessAudio } from '${NAME}';
    console.log(isSupported()); try { captureProcessAudio({ pid: 42 }); } catch (e) { console.log(e.code, e.message); }`).stdout;
  assert.match(foreign, /^false\nERR_UNSUPPORTED_PLATFORM .*darwin-arm64.*executable option/);
  writeFileSync(join(app, 'fast.mjs'), `${FAST} const [file] = process.argv.splice(2, 1); try { await import(file); console.log('done'); } catch (e) { console.log('caught', e.code); }`);
  const js = blocks('js').filter((b) => b.includes('captureProcessAudio('));
  assert.ok(js.length >= 3 && blocks('python', 'docs/protocol.md').length === 1 && blocks('ts').length >= 2);
  for (const [i, code] of js.entries()) {
    for (const [scenario, want] of [[OK, 'done'], [FAILING, 'caught E_INVALIDARG']]) { // a stop() the timer makes after the failure must not crash it
      writeFileSync(join(app, `snippet${i}.mjs`), scenario === OK ? code.replaceAll('1234', process.pid) : code); // a target that runs
      const r = run(app, scenario, process.execPath, 'fast.mjs', `./snippet${i}.mjs`);
      assert.ok(r.status === 0 && r.stdout.trim().endsWith(want) && !/Unhandled|Error/.test(r.stderr), `snippet ${i}, ${scenario}: ${r.status} ${r.stdout} ${r.stderr}`);
    }
  }
  assert.equal(readFileSync(join(app, 'out.wav')).readUInt32LE(24), 16000);
  for (const [scenario, want] of [[OK, /^0$/m], [FAILING, /RuntimeError: Falha na captura .*0x80070057/]]) {
    writeFileSync(join(app, 'raw.py'), scenario === OK ? blocks('python', 'docs/protocol.md')[0].replace('1234', process.pid) : blocks('python', 'docs/protocol.md')[0]);
    const r = run(app, scenario, '/usr/bin/python3', 'raw.py'); assert.match(r.stdout + r.stderr, want);
  }
  // The examples, as an app would hold them.
  execFileSync('tar', ['-xzf', tarball, '-C', dir]);
  for (const [command, args, scenario, want, wav] of [
    [process.execPath, ['record.mjs', '--pid', String(process.pid), '--seconds', '100', '--speech'], OK, /capture.wav: 0 frames lost/, [16000, 1, 16]],
    [process.execPath, ['record.mjs', '--window', 'window:7:0', '--out', 'w.wav'], '', /ERR_USAGE: .*DISPLAY is not set/],
    [process.execPath, ['record.mjs', '--pid', '12abc'], '', /RangeError: pid must be .* got number NaN/],
    ['/usr/bin/python3', [join(root, 'examples/record.py'), '--pid', String(process.pid), '--seconds', '1', '--out', 'py.wav'], OK, /py.wav: exit 0/, [48000, 2, 16]],
    ['/usr/bin/python3', [join(root, 'examples/record.py'), '--pid', '1234'], FAILING, /exit 4: Falha .*0x80070057/],
  ]) {
    const cwd = args[0].endsWith('.mjs') ? app : dir;
    if (cwd === app) writeFileSync(join(app, args[0]), readFileSync(join(root, 'examples', args[0])));
    const r = spawnSync(command, command === process.execPath ? ['fast.mjs', `./${args[0]}`, ...args.slice(1)] : args,
      { cwd, encoding: 'utf8', timeout: 60000, env: { ...process.env, SONDREL_SCENARIO: scenario } });
    assert.match(r.stdout + r.stderr, want, `${args.join(' ')}: ${r.stdout} ${r.stderr}`);
    if (wav) { const w = readFileSync(join(cwd, args.at(-1).endsWith('.wav') ? args.at(-1) : 'capture.wav')); assert.deepEqual([w.readUInt32LE(24), w.readUInt16LE(22), w.readUInt16LE(34)], wav); assert.ok(w.length > 44 + 4800); }
  }
  // The Electron example with desktopCapturer stubbed: every window offered, all but this app streamed.
  mkdirSync(join(app, 'node_modules/electron'));
  writeFileSync(join(app, 'node_modules/electron/index.js'), 'export const desktopCapturer = { getSources: async () => [{ id: "window:7:0", name: "Player" }] };');
  writeFileSync(join(app, 'node_modules/electron/package.json'), '{ "name": "electron", "type": "module", "main": "index.js" }');
  writeFileSync(join(app, 'electron-capture.mjs'), readFileSync(join(root, 'examples/electron-capture.mjs')));
  writeFileSync(join(app, 'electron-main.mjs'), `import { audioSources, streamAudio } from './electron-capture.mjs';
    const sources = await audioSources(); let n = 0; console.log(JSON.stringify(sources.map((s) => s.target)));
    const s = streamAudio(sources[0].target, (x) => { if (!(x instanceof Int16Array)) throw new Error('not 16-bit'); if ((n += x.length) >= 16000) s.stop(); });
    await s.done; console.log(n >= 16000); await streamAudio(sources[1].target, () => {}).done.catch((e) => console.log(e.code));`);
  const r = run(app, OK, process.execPath, 'electron-main.mjs');
  assert.equal(r.stdout, `[{"excludePid":${r.pid}},{"window":"window:7:0"}]\ntrue\nERR_USAGE\n`, r.stderr);
  // Inside app.asar with its helpers unpacked, from CommonJS.
  const asar = join(dir, 'resources/app.asar'), unpacked = join(dir, 'resources/app.asar.unpacked/node_modules', NAME);
  mkdirSync(unpacked, { recursive: true }); renameSync(app, asar); renameSync(join(asar, 'node_modules', NAME, 'bin'), join(unpacked, 'bin')); // what asarUnpack does
  writeFileSync(join(asar, 'cjs.cjs'), `const { captureProcessAudio, defaultExecutable, isSupported, CaptureError } = require('${NAME}');
    (async () => { const c = captureProcessAudio({ pid: process.pid }); let frames = 0; if ((await import('${NAME}')).CaptureError !== CaptureError) throw new Error('two classes');
    for await (const chunk of c) if ((frames += chunk.length / 2) >= 4800) await c.stop(); console.log(frames >= 4800, c.exitCode, isSupported(), defaultExecutable()); })();`);
  assert.equal(run(asar, OK, process.execPath, 'cjs.cjs').stdout, `true 0 true ${join(unpacked, 'bin/linux-x64', NAME)}\n`);
});

test("the README's TypeScript and the Electron example type-check against Electron's types", { timeout: 300000 }, () => {
  const cache = join(root, 'build/node-types'), tsc = join(cache, 'node_modules/typescript/bin/tsc'); // npm's registry only, once
  mkdirSync(cache, { recursive: true });
  if (!existsSync(tsc)) {
    writeFileSync(join(cache, 'package.json'), JSON.stringify({ private: true, devDependencies: { electron: '41.7.1', typescript: '5.9.3', '@types/node': '20.19.43' } }));
    execFileSync('npm', ['install', '--no-audit', '--no-fund', '--ignore-scripts', '--silent'], { cwd: cache, env: { ...process.env, ELECTRON_SKIP_BINARY_DOWNLOAD: '1' }, stdio: ['ignore', 'inherit', 'inherit'] });
  }
  const dir = mkdtempSync(join(tmpdir(), 'sondrel-types-'));
  try {
    const files = blocks('ts').map((code, i) => (writeFileSync(join(dir, `readme${i}.mts`), `${code}export {};\n`), `readme${i}.mts`));
    writeFileSync(join(dir, 'electron-capture.mjs'), readFileSync(join(root, 'examples/electron-capture.mjs')));
    writeFileSync(join(dir, 'tsconfig.json'), JSON.stringify({ files: [...files, 'electron-capture.mjs', join(cache, 'node_modules/electron/electron.d.ts')], compilerOptions: {
      strict: true, noEmit: true, allowJs: true, checkJs: true, module: 'nodenext', target: 'es2022', types: ['node'], typeRoots: [join(cache, 'node_modules/@types')],
      paths: { [NAME]: [here('../index.d.ts')] } } }));
    const r = spawnSync(process.execPath, [tsc, '-p', dir], { encoding: 'utf8' });
    assert.equal(r.status, 0, r.stdout + r.stderr);
  } finally { rmSync(dir, { recursive: true, force: true }); }
});
