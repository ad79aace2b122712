'use strict';
// The helper's exit code, failure line and start errors as CaptureErrors with
// an English description. Pure functions, run on the caller's event loop.

const FAILURE_LINE = /^(.*) \(0x([0-9A-Fa-f]{8})\)(?:: (.*))?$/;
// A run's every other stderr line comes before the failure line; this one
// says where audio was lost and is never the failure.
const NOTICE_LINE = /^Aviso: áudio perdido: (\d+) quadros antes do quadro (\d+) \((leitor atrasado|descontinuidade do sistema)\)\r?$/;
const NOTICE_REASONS = { 'leitor atrasado': 'reader-behind', 'descontinuidade do sistema': 'discontinuity' };
const KILL_AFTER_MS = 5000;

const NO_LOOPBACK = 'This system has no process-loopback audio capture: it needs Windows 10 ' +
  'version 2004 (build 19041) or later, and Wine has none.';
// The codes a helper reports that users meet, by name and in plain English.
const CODES = new Map([
  [0x80070057, ['E_INVALIDARG', 'The target was refused: no running process has this process id, ' +
    'or the system rejected an argument.']],
  [0x800705B4, ['ERROR_TIMEOUT', 'The audio system did not complete the capture set-up within 10 seconds.']],
  [0x88890004, ['AUDCLNT_E_DEVICE_INVALIDATED', 'The audio device or the audio service went away during the capture.']],
  [0x88890010, ['AUDCLNT_E_SERVICE_NOT_RUNNING', 'The audio service is not running ' +
    '(on Linux: no PipeWire daemon could be reached).']],
  [0x80070002, ['ERROR_FILE_NOT_FOUND', NO_LOOPBACK]],
  [0x80004002, ['E_NOINTERFACE', NO_LOOPBACK]],
  [0x8000000E, ['E_ILLEGAL_METHOD_CALL', NO_LOOPBACK]],
  [0x80070070, ['ERROR_DISK_FULL', "The helper's output could not be written: the disk is full."]],
  [0x8007006D, ['ERROR_BROKEN_PIPE', "The helper's standard output was closed before the stream header."]],
  [0x800700E8, ['ERROR_NO_DATA', "The helper's standard output is being closed."]],
  [0x80070006, ['E_HANDLE', 'A standard stream of the helper is missing or invalid.']],
  [0x8007000E, ['E_OUTOFMEMORY', 'The helper ran out of memory.']],
  [0x80070008, ['ERROR_NOT_ENOUGH_MEMORY', 'The helper could not start a thread: not enough memory.']],
  [0x80070005, ['E_ACCESSDENIED', 'The system denied access to the audio capture.']],
  [0x8007001F, ['ERROR_GEN_FAILURE', 'The system failed in a way it did not map to a known code.']],
  [0x88890008, ['AUDCLNT_E_UNSUPPORTED_FORMAT', 'The audio system refused the capture format.']],
  [0x88890001, ['AUDCLNT_E_NOT_INITIALIZED', 'The audio client was used before it was set up.']],
  [0x80010106, ['RPC_E_CHANGED_MODE', 'The helper could not enter the COM apartment it needs.']],
  [0x80004001, ['E_NOTIMPL', 'The audio system does not implement an operation the capture needs.']],
  [0x80004005, ['E_FAIL', 'The capture failed for a reason the system did not name.']],
  [0x8000FFFF, ['E_UNEXPECTED', 'The audio system failed unexpectedly.']],
]);

class CaptureError extends Error {
  constructor(message, details = {}) {
    super(message, details.cause === undefined ? undefined : { cause: details.cause });
    this.name = 'CaptureError';
    this.code = details.code ?? null;
    this.description = details.description ?? message;
    this.exitCode = details.exitCode ?? null;
    this.signal = details.signal ?? null;
    this.hresult = details.hresult ?? null;
    this.systemText = details.systemText ?? null;
    this.line = details.line ?? null;
  }
}

// Node's own convention for an aborted operation: name, code and the reason as cause.
function abortError(reason) {
  const error = new Error('The capture was aborted', { cause: reason });
  error.name = 'AbortError';
  error.code = 'ABORT_ERR';
  return error;
}

// A notice line as { frames, position, reason }, or null for any other line.
function parseNotice(line) {
  const m = NOTICE_LINE.exec(line);
  return m === null ? null : { frames: Number(m[1]), position: Number(m[2]), reason: NOTICE_REASONS[m[3]] };
}

function hex(code) {
  return `0x${code.toString(16).toUpperCase().padStart(8, '0')}`;
}

// What can make the helper refuse --window, as far as this process can tell.
function windowRefusal(env) {
  const others = 'no window has this id, or the process that owns the window cannot be known';
  if (process.platform === 'linux' && !(env ?? process.env).DISPLAY) {
    return `: DISPLAY is not set, so the helper reaches no X11 display and finds no window (else: ${others})`;
  }
  return process.platform === 'linux'
    ? `: ${others} (the window's _NET_WM_PID, or the X-Resource extension), or the X11 display could not be opened`
    : `: ${others}`;
}

// `lines`: the helper's stderr lines other than notices, in order.
function failureFromExit({ code, signal, lines, args, headerSeen, killed, env }) {
  if (killed) {
    return new CaptureError(`sondrel-process-loopback did not exit within ${KILL_AFTER_MS / 1000} s ` +
      'of being asked to stop and was killed', { signal, code: 'ERR_STOP_TIMEOUT' });
  }
  if (signal !== null) {
    return new CaptureError(`sondrel-process-loopback was ended by ${signal}`, { signal, code: 'ERR_SIGNAL' });
  }
  if (code === 2) {
    const why = args[0] === '--window' ? windowRefusal(env) : ': it names no process it can capture';
    return new CaptureError(`sondrel-process-loopback rejected ${args.join(' ')}${why}`,
      { exitCode: 2, line: lines.join('\n') || null, code: 'ERR_USAGE' });
  }
  if (code === 0) {
    return headerSeen ? null : new CaptureError(
      'sondrel-process-loopback ended without a stream header', { exitCode: 0, code: 'ERR_NO_HEADER' });
  }
  // Anything printed before it (a runtime's warning) is not the failure.
  const line = lines.length > 0 ? lines[lines.length - 1] : null;
  const parsed = line === null ? null : FAILURE_LINE.exec(line);
  if (parsed === null) {
    return new CaptureError(`sondrel-process-loopback exited with ${code}` +
      (line === null ? '' : `: ${line}`), { exitCode: code, line, code: 'ERR_EXIT' });
  }
  const hresult = Number.parseInt(parsed[2], 16);
  const [name, description] = CODES.get(hresult)
    ?? [null, `The capture failed with ${hex(hresult)}${parsed[3] ? `: ${parsed[3]}` : ''}`];
  return new CaptureError(`sondrel-process-loopback failed with ${hex(hresult)}` +
    `${name ? ` (${name})` : ''}: ${description}`, {
    exitCode: code, hresult, systemText: parsed[3] ?? null, line, code: name, description,
  });
}

// Why the helper could not be started, with what usually causes it.
function startFailure(executable, error, exists) {
  let hint = '';
  if (error.code === 'EACCES') {
    hint = ' (the file is not executable: give it execute permission, e.g. chmod +x, or unpack the ' +
      'package with its file modes; on a noexec mount, put it elsewhere)';
  } else if (!exists && executable.includes('app.asar.unpacked')) {
    hint = ' (there is no file there: the Electron app was packed without unpacking ' +
      'node_modules/sondrel-process-loopback/bin; electron-builder: asarUnpack)';
  } else if (!exists) {
    hint = ' (there is no file there. A bundled app (esbuild, webpack, Vite, Rollup) looks for the helper ' +
      'beside the bundle: mark sondrel-process-loopback as external, or pass the executable option)';
  }
  return new CaptureError(`${executable} could not be started: ${error.message}${hint}`,
    { code: error.code ?? null, cause: error });
}

module.exports = { CaptureError, KILL_AFTER_MS, abortError, failureFromExit, parseNotice, startFailure };
