'use strict';
// The package's entry: one export per line, each from the module that makes it.
const { captureProcessAudio } = require('./capture.cjs');
const { CaptureError } = require('./errors.cjs');
const { listAudioApplications } = require('./list.cjs');
const { toInt16, wavHeader, createWavWriter } = require('./samples.cjs');
const { defaultExecutable, isSupported } = require('./target.cjs');

module.exports = {
  CaptureError,
  captureProcessAudio,
  createWavWriter,
  defaultExecutable,
  isSupported,
  listAudioApplications,
  toInt16,
  wavHeader,
};
