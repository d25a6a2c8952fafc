#pragma once

// Result codes of the recording engine. 6 to 9 stay inside the engine.
enum RecordError : int {
  kRecordFailed = -1,
  kRecordOk = 0,
  kRecordDeviceLost = 2,
  kRecordScreenCapturerFailed = 3,
  kRecordSpeakerCapturerFailed = 4,
  kRecordMicCapturerFailed = 5,
  kRecordNoEncoder = 6,
  kRecordAllocContextFailed = 7,
  kRecordOpenEncoderFailed = 8,
  kRecordConvertFailed = 9,
};
