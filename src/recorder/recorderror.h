#pragma once

// Result codes of the recording engine. 6 to 9 stay inside the engine.
// Each value has two names (the video and audio paths were written apart).
enum RecordError : int {
  kRecordFailed = -1,
  kRecordOk = 0,
  kRecordSuccess = 0,
  kRecordDeviceLost = 2,
  kRecordCaptureLost = 2,
  kRecordScreenCapturerFailed = 3,
  kRecordCapturerInitFailed = 3,
  kRecordSpeakerCapturerFailed = 4,
  kRecordSpeakerInitFailed = 4,
  kRecordMicCapturerFailed = 5,
  kRecordMicInitFailed = 5,
  kRecordNoEncoder = 6,
  kRecordEncoderNotFound = 6,
  kRecordAllocContextFailed = 7,
  kRecordOutputFailed = 7,
  kRecordOpenEncoderFailed = 8,
  kRecordEncoderOpenFailed = 8,
  kRecordConvertFailed = 9,
};
