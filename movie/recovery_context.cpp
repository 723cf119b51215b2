// STUB: replaced by the real movie writer.
#include "movie/recovery_context.h"
RecoveryContext::RecoveryContext() : output{} {}
RecoveryContext::~RecoveryContext() { finishMovie(); }
bool RecoveryContext::readRecordingMeta() { return ::readRecordingMeta(meta); }
bool RecoveryContext::createMovie(const std::string&) { return false; }
bool RecoveryContext::appendFrame(const uint8_t*, int32_t) { return false; }
bool RecoveryContext::finishMovie() { return true; }
