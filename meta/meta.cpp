// STUB: replaced by the real reader.
#include "meta/meta.h"
bool readRecordingMeta(RecordingMeta&) { return false; }
