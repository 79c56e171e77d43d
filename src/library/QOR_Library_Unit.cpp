// The C interface of libqor over the in-memory API. No exception leaves it:
// each is turned into an error code here, and a damage report is kept in the
// context, turned into text in this one place.
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>
#include <span>
#include <string>
#include <vector>

#include "pipeline/QOR_MCP_Unit.h"
#include "pipeline/QOR_Memory_Unit.h"
#include "qor.h"

struct qor_context {
  T_QOR_MCP Pipeline;
  std::string Damage;  // "damaged block N at offset X: REASON" after QOR_ERROR_DAMAGED, else empty
};

namespace {

// Hands Bytes to the caller in memory that qor_free releases.
qor_error Give(const std::vector<uint8_t>& Bytes, void** Output, size_t* Output_Size) {
  void* Copy = std::malloc(Bytes.empty() ? 1 : Bytes.size());
  if (Copy == nullptr) return QOR_ERROR_OUT_OF_MEMORY;
  if (!Bytes.empty()) std::memcpy(Copy, Bytes.data(), Bytes.size());
  *Output = Copy;
  *Output_Size = Bytes.size();
  return QOR_OK;
}

template <class T_Work>
qor_error Guarded(const T_Work& Work) {
  try {
    return Work();
  } catch (const std::bad_alloc&) {
    return QOR_ERROR_OUT_OF_MEMORY;
  } catch (...) {
    return QOR_ERROR_INTERNAL;
  }
}

bool Arguments_Usable(const qor_context* Context, const void* Data, size_t Size, void** Output, size_t* Output_Size) {
  if (Output != nullptr) *Output = nullptr;
  if (Output_Size != nullptr) *Output_Size = 0;
  return Context != nullptr && (Data != nullptr || Size == 0) && Output != nullptr && Output_Size != nullptr;
}

std::span<const uint8_t> Bytes_Of(const void* Data, size_t Size) {
  return Size == 0 ? std::span<const uint8_t>() : std::span<const uint8_t>(static_cast<const uint8_t*>(Data), Size);
}

}  // namespace

extern "C" {

qor_context* qor_context_new(void) {
  try {
    return new qor_context();
  } catch (...) {
    return nullptr;
  }
}

void qor_context_free(qor_context* Context) { delete Context; }

qor_error qor_compress(qor_context* Context, const void* Data, size_t Size, int Fast, void** Output,
                       size_t* Output_Size) {
  if (!Arguments_Usable(Context, Data, Size, Output, Output_Size)) return QOR_ERROR_ARGUMENT;
  Context->Damage.clear();
  return Guarded([&] {
    return Give(QOR_Compress_Memory(Context->Pipeline, Bytes_Of(Data, Size), Fast != 0), Output, Output_Size);
  });
}

qor_error qor_expand(qor_context* Context, const void* Data, size_t Size, void** Output, size_t* Output_Size) {
  if (!Arguments_Usable(Context, Data, Size, Output, Output_Size)) return QOR_ERROR_ARGUMENT;
  Context->Damage.clear();
  return Guarded([&] {
    const T_QOR_Expansion Result = QOR_Expand_Memory(Context->Pipeline, Bytes_Of(Data, Size));
    const qor_error Given = Give(Result.Bytes, Output, Output_Size);
    if (Given != QOR_OK || !Result.Damaged) return Given;
    Context->Damage = QOR_Damage_Text(Result.Block_Number, Result.Record_Offset, Result.Reason);
    return QOR_ERROR_DAMAGED;
  });
}

void qor_free(void* Buffer) { std::free(Buffer); }

const char* qor_error_text(qor_error Error) {
  switch (Error) {
    case QOR_OK: return "no error";
    case QOR_ERROR_DAMAGED: return "the compressed data is damaged or not qor data";
    case QOR_ERROR_OUT_OF_MEMORY: return "not enough memory";
    case QOR_ERROR_ARGUMENT: return "a required pointer is null";
    case QOR_ERROR_INTERNAL: return "internal error";
  }
  return "unknown error code";
}

const char* qor_context_damage(const qor_context* Context) { return Context == nullptr ? "" : Context->Damage.c_str(); }

const char* qor_version(void) { return QOR_VERSION_STRING; }

}  // extern "C"
