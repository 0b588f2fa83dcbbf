// The kernel handle table shared by registry keys and files, so ZwClose closes either.
#pragma once
#include <cstdio>
#include <functional>
#include <string>

#include "platform/platform.h"

namespace sim {

struct KernelObject {
  virtual ~KernelObject() = default;
};

HANDLE InsertHandle(KernelObject *object);  // takes ownership
KernelObject *LookupHandle(HANDLE h);
bool CloseHandleEntry(HANDLE h);
size_t HandleCount();
void ResetHandles();

}  // namespace sim
