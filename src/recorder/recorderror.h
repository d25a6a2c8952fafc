#pragma once

// Error codes of the recording engine. Values 6 to 9 stay inside the engine.
enum RecordError : int {
  kRecordFailed = -1,
  kRecordSuccess = 0,
  kRecordCaptureLost = 2,
  kRecordCapturerInitFailed = 3,
  kRecordSpeakerInitFailed = 4,
  kRecordMicInitFailed = 5,
  kRecordEncoderNotFound = 6,
  kRecordOutputFailed = 7,
  kRecordEncoderOpenFailed = 8,
  kRecordConvertFailed = 9,
};
