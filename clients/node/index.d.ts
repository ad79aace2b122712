/// <reference types="node" />
import type { Readable } from 'node:stream';

/** Exactly one of the three: a process tree, everything but one, or a window's process tree. */
export type CaptureTarget =
  | { pid: number; excludePid?: undefined; window?: undefined }
  | { excludePid: number; pid?: undefined; window?: undefined }
  | { window: number | bigint; pid?: undefined; excludePid?: undefined };

export interface CaptureOptions {
  /** The helper program; by default bin/<platform>-<arch>/ next to this package. */
  executable?: string;
  /** Aborting stops the capture as stop() does. */
  signal?: AbortSignal;
}

export class CaptureError extends Error {
  name: 'CaptureError';
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

export interface Capture extends AsyncIterable<Float32Array> {
  /** Resolves once the stream header has been read and checked; rejects with CaptureError. */
  readonly ready: Promise<void>;
  /** The helper's process id. */
  readonly pid: number | undefined;
  /** The helper's exit code once it has exited. */
  readonly exitCode: number | null;
  /**
   * Chunks of interleaved stereo float frames at 48 kHz (left, right, left, ...),
   * always whole frames. Ends after stop(); throws CaptureError when the helper fails.
   * Leaving the loop early (break, throw) ends the helper. One consumer only.
   */
  [Symbol.asyncIterator](): AsyncIterator<Float32Array>;
  /** The same frames as float32 bytes in the machine's byte order, for piping; instead of iterating. */
  readonly readable: Readable;
  /** Asks the helper to stop; resolves once it has written its last frames and exited. */
  stop(): Promise<void>;
}

/** Where the helper is looked for when no executable is given. */
export function defaultExecutable(): string;

/**
 * Starts the helper for the target. Throws TypeError/RangeError for a malformed
 * target and the signal's reason when it is already aborted.
 */
export function captureProcessAudio(target: CaptureTarget, options?: CaptureOptions): Capture;
