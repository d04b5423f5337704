#include "app/console.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>

#include "platform/platform.h"

namespace {

std::atomic<ConsoleSink> Sink{nullptr};

constexpr int MESSAGE_SIZE = 512;  // the longest message with a 163-character address

}  // namespace

void SetConsoleSink(ConsoleSink sink) { Sink.store(sink); }

void Print(const char* format, ...) {
  char message[MESSAGE_SIZE];
  va_list args;
  va_start(args, format);
  int length = std::vsnprintf(message, sizeof message, format, args);
  va_end(args);
  if (length < 0) {
    return;
  }
  std::size_t count = static_cast<std::size_t>(length) < sizeof message
                          ? static_cast<std::size_t>(length)
                          : sizeof message - 1;
  ConsoleSink sink = Sink.load();
  if (sink != nullptr) {
    sink(message, count);
  } else {
    PlatformWriteConsole(message, count);
  }
}
