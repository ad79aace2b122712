// The ES module face of index.cjs: one implementation, so a CaptureError is
// the same class whether the app imports or requires the package.
import client from './index.cjs';

export const {
  CaptureError,
  captureProcessAudio,
  createWavWriter,
  defaultExecutable,
  isSupported,
  listAudioApplications,
  toInt16,
  wavHeader,
} = client;
