#pragma once

// Result codes of the recording engine. 6 to 9 stay inside the engine, which
// folds them into kRecordFailed; 10 is told to the recorder's observers.
enum RecordError : int {
  kRecordFailed = -1,
  kRecordSuccess = 0,
  kRecordCaptureLost = 2,
  kRecordCapturerInitFailed = 3,
  kRecordSpeakerInitFailed = 4,
  kRecordMicInitFailed = 5,
  kRecordEncoderNotFound = 6,  // also: a named encoder is missing
  kRecordOutputFailed = 7,     // the output context cannot be allocated
  kRecordEncoderOpenFailed = 8,
  kRecordConvertFailed = 9,
  kRecordEncodeFailed = 10,  // an encoder failed while recording
};
