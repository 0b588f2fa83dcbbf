// The per-handle record, reached through the file object's FsContext from create to close.
#pragma once
#include "platform/platform.h"

struct PipeContext;

struct OpenHandle {
  LIST_ENTRY link;  // in the device's openHandleList
  PFILE_OBJECT fileObject;
  PipeContext *boundPipe;  // null: unbound
  PEPROCESS process;       // the opener; compared by identity only
};

inline OpenHandle *HandleOf(PFILE_OBJECT fileObject) {
  return fileObject ? static_cast<OpenHandle *>(fileObject->FsContext) : NULL;
}
