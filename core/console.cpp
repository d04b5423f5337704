#include "core/console.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>

#include "platform/platform.h"

namespace {

std::atomic<ConsoleSink> Sink{nullptr};

// The longest message with a 163-character address.
constexpr int MESSAGE_SIZE = OUTPUT_MESSAGE_SIZE;
constexpr int TIMESTAMP_LENGTH = 20;  // "YYYY-MM-DD HH:MM:SS "

OutputQueue StandardOutput;
std::atomic<int> WriterRunning{0};
std::atomic<int> Stamped{0};

// --timestamps: the local date and time that begins each message.
int WriteTimestamp(char* buffer, std::size_t size) {
  LocalDateTime now{};
  PlatformLocalTime(&now);
  int length = std::snprintf(buffer, size, "%04d-%02d-%02d %02d:%02d:%02d ", now.Year, now.Month,
                             now.Day, now.Hour, now.Minute, now.Second);
  return length == TIMESTAMP_LENGTH ? length : 0;
}

// Writes a message whole, to the sink of the moment.
void WriteNow(const char* bytes, std::size_t count) {
  ConsoleSink sink = Sink.load();
  if (sink != nullptr) {
    sink(bytes, count);
  } else {
    PlatformWriteConsole(bytes, count);
  }
}

}  // namespace

void SetConsoleSink(ConsoleSink sink) { Sink.store(sink); }

void SetTimestamps(bool stamped) { Stamped.store(stamped ? 1 : 0); }

int StartOutputWriter() {
  InitOutputQueue(&StandardOutput, WriteNow);
  int error = PlatformStartThread(RunOutputWriter, &StandardOutput);
  if (error == 0) {
    WriterRunning.store(1);
  }
  return error;
}

bool FlushOutput(std::int64_t deadlineMicros) {
  return WriterRunning.load() == 0 || WaitUntilWritten(&StandardOutput, deadlineMicros);
}

namespace {

// The time stamp and the message are formatted into one buffer, so that
// the message stays whole; it is stamped when it is made, whenever it is
// written.
void PrintWaking(bool wake, const char* format, va_list args) {
  char message[MESSAGE_SIZE];
  int stamp = Stamped.load() != 0 ? WriteTimestamp(message, sizeof message) : 0;
  int length = std::vsnprintf(message + stamp, sizeof message - static_cast<std::size_t>(stamp),
                              format, args);
  if (length < 0) {
    return;
  }
  length += stamp;
  std::size_t count = static_cast<std::size_t>(length) < sizeof message
                          ? static_cast<std::size_t>(length)
                          : sizeof message - 1;
  if (WriterRunning.load() != 0) {
    QueueMessage(&StandardOutput, message, count, stamp, wake);
  } else {
    WriteNow(message, count);
  }
}

}  // namespace

void Print(const char* format, ...) {
  va_list args;
  va_start(args, format);
  PrintWaking(true, format, args);
  va_end(args);
}

void PrintLater(const char* format, ...) {
  va_list args;
  va_start(args, format);
  PrintWaking(false, format, args);
  va_end(args);
}

void WakeOutputWriter() {
  if (WriterRunning.load() != 0) {
    WakeOutputWriter(&StandardOutput);
  }
}
