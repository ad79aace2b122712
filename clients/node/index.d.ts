/// <reference types="node" />
import type { EventEmitter } from 'node:events';
import type { Readable, Writable } from 'node:stream';

/** Exactly one of the three: a process tree, everything but one, or a window's process tree. */
export type CaptureTarget =
  | { pid: number; excludePid?: undefined; window?: undefined }
  | { excludePid: number; pid?: undefined; window?: undefined }
  /**
   * A window handle (Windows HWND, X11 window id): a number, a bigint, the
   * number in text ("123456", "0x1e240"), or Electron's DesktopCapturerSource
   * id "window:<id>:<n>"; any other string throws RangeError.
   */
  | { window: number | bigint | string; pid?: undefined; excludePid?: undefined };

/** What the capture delivers; the helper's own is 48000 Hz, 2 channels, float32. */
export interface CaptureFormat {
  /** 8000 to 48000 (default 48000); other rates are resampled in the client. */
  sampleRate?: number;
  /** 1 (the mean of left and right) or 2 (default). */
  channels?: 1 | 2;
  /** 'float32' (default) or 'int16' (rounded, clipped at full scale). */
  sampleType?: 'float32' | 'int16';
}

/** One gap in the stream, as the helper reports it; counted in the helper's 48 kHz frames. */
export interface DropNotice {
  /** Frames lost (48 kHz); 0 when the system flagged a gap without saying how long. */
  frames: number;
  /** Where the gap is: the index, in 48 kHz frames since the stream began, of the first frame after it. */
  position: number;
  /** 'reader-behind': the helper dropped audio the reader did not take in time; 'discontinuity': the system lost it. */
  reason: 'reader-behind' | 'discontinuity';
}

export interface CaptureOptions {
  /**
   * The helper program; by default bin/<platform>-<arch>/ in this package
   * (inside Electron, app.asar.unpacked instead of app.asar).
   */
  executable?: string;
  /** Aborting ends the helper; the iteration then throws an AbortError whose cause is the signal's reason. */
  signal?: AbortSignal;
  /** The helper's environment (default: process.env). */
  env?: NodeJS.ProcessEnv;
  /** The helper's working directory (default: the current one). */
  cwd?: string;
  /** With a { pid } target: stop as stop() does once that process has exited (or is a zombie). */
  stopWhenTargetExits?: boolean;
  /** The format of the chunks and of readable's bytes (default: 48 kHz stereo float32). */
  format?: CaptureFormat;
  /** Called for each gap in the stream, as the 'drop' event is. */
  onDrop?: (drop: DropNotice) => void;
}

export class CaptureError extends Error {
  name: 'CaptureError';
  /**
   * The failure by name: the helper's code (E_INVALIDARG, ERROR_TIMEOUT,
   * AUDCLNT_E_DEVICE_INVALIDATED, ...), or the client's own (ENOENT and the
   * like when the helper could not be started, ERR_USAGE, ERR_BAD_HEADER,
   * ERR_NO_HEADER, ERR_SIGNAL, ERR_STOP_TIMEOUT, ERR_EXIT, ERR_UNSUPPORTED_PLATFORM, ERR_BAD_CWD);
   * null for a helper code this client does not know.
   */
  code: string | null;
  /** What went wrong, in English. */
  description: string;
  /** The helper's exit code; null when it did not exit by itself. */
  exitCode: number | null;
  /** The signal that ended the helper, if one did. */
  signal: NodeJS.Signals | null;
  /** The failure code of the helper's failure line, unsigned (0x80070057 = 2147942487). */
  hresult: number | null;
  /** The system's text for that code, when the line carries one. */
  systemText: string | null;
  /** The helper's failure line (or usage text), without its line end. */
  line: string | null;
}

/** Float32Array chunks, or Int16Array ones with sampleType 'int16'. */
export interface Capture<Chunk extends Float32Array | Int16Array = Float32Array | Int16Array>
  extends AsyncIterable<Chunk>, EventEmitter {
  /** Resolves once the 16-byte stream header has been read and checked; rejects with CaptureError. */
  readonly ready: Promise<void>;
  /** The helper's process id. */
  readonly pid: number | undefined;
  /** The helper's exit code once it has exited. */
  readonly exitCode: number | null;
  /** The format of the chunks, every default filled in. */
  readonly format: Required<CaptureFormat>;
  /** 48 kHz frames lost so far, by the helper's notices. */
  readonly droppedFrames: number;
  /**
   * Chunks of interleaved frames in the chosen format (left, right, left, ...),
   * always whole frames. Ends after stop(); throws CaptureError when the helper fails.
   * Leaving the loop early (break, throw) ends the helper. One consumer only.
   */
  [Symbol.asyncIterator](): AsyncIterator<Chunk>;
  /**
   * The same samples as bytes in the machine's byte order, for piping;
   * instead of iterating. Destroying it ends the helper.
   */
  readonly readable: Readable;
  /**
   * Asks the helper to stop; resolves once it has written its last frames and
   * exited (a helper still there 5 s later, or 5 s after a set-up under way
   * would have timed out, is killed). It rejects only when the failure reaches
   * the caller no other way: the capture is neither iterated nor read, and the
   * failure did not reject a ready the caller took.
   */
  stop(): Promise<void>;
  on(event: 'drop', listener: (drop: DropNotice) => void): this;
  once(event: 'drop', listener: (drop: DropNotice) => void): this;
  off(event: 'drop', listener: (drop: DropNotice) => void): this;
}

/** Where the helper is looked for when no executable is given. */
export function defaultExecutable(): string;

/** Whether the package ships a helper for this platform and CPU (win32-x64, linux-x64). */
export function isSupported(): boolean;

/**
 * Starts the helper for the target. Throws TypeError/RangeError for a malformed
 * target, CaptureError ERR_UNSUPPORTED_PLATFORM where the package has no helper
 * and no executable is given, and the signal's reason when it is already aborted.
 */
export function captureProcessAudio(target: CaptureTarget,
  options: CaptureOptions & { format: CaptureFormat & { sampleType: 'int16' } }): Capture<Int16Array>;
export function captureProcessAudio(target: CaptureTarget,
  options?: CaptureOptions & { format?: CaptureFormat & { sampleType?: 'float32' } }): Capture<Float32Array>;
export function captureProcessAudio(target: CaptureTarget, options?: CaptureOptions): Capture;

/** Float samples in [-1, 1] as 16-bit ones; louder values clip, NaN becomes 0. */
export function toInt16(samples: Float32Array): Int16Array;

/** The capture's format: pass the same object to the capture and the writer. */
export type WavOptions = CaptureFormat;

/** The header of a WAV file that holds dataBytes bytes of samples. */
export function wavHeader(dataBytes: number, options?: WavOptions): Buffer;

/**
 * A WAV file written as a capture's chunks, or the bytes of its readable, arrive
 * (in the writer's format; a 16-bit writer also takes Float32Array chunks);
 * its sizes are filled in when the stream ends.
 */
export function createWavWriter(path: string, options?: WavOptions): Writable;

/** An application with audio output now, as `listAudioApplications` gives it. */
export interface AudioApplication {
  /** The process of it with the loudest session or stream. */
  pid: number;
  /** Every process of it that has a session or stream, ascending. */
  pids: number[];
  /** The application: capture all of it with `{ pid: appPid }`. */
  appPid: number;
  /** The executable's base name. */
  name: string;
  /** The executable's full path, null where the system does not give it. */
  exe: string | null;
  /** The session's display name, else the title of its main window, else `name`. */
  title: string;
  /** A top-level window of it, as `{ window }` takes it; null when it has none (or no X11 display). */
  window: number | null;
  /** It is playing a stream now. */
  active: boolean;
  /** The loudest sample of its output over the measuring window, 0 to 1. */
  peak: number;
}

export interface ListOptions {
  /** How long the peaks are measured, in ms (0 to 10000, default 100). */
  measureMs?: number;
  /** The helper program, as for captureProcessAudio. */
  executable?: string;
  /** Aborting ends the helper; the promise rejects with an AbortError. */
  signal?: AbortSignal;
  env?: NodeJS.ProcessEnv;
  cwd?: string;
}

/**
 * The applications that have audio output now, loudest first (those playing
 * before the rest). Rejects with CaptureError when no list can be made (no
 * audio service: AUDCLNT_E_SERVICE_NOT_RUNNING; Wine: E_NOTIMPL), RangeError
 * for a measureMs out of range.
 */
export function listAudioApplications(options?: ListOptions): Promise<AudioApplication[]>;
