// A stand-in child process for the ownership-record tests: it only waits, so
// that the tests can record, inspect and terminate a real process. Never
// shipped.
#include <chrono>
#include <thread>

int main() {
  std::this_thread::sleep_for(std::chrono::minutes(2));
  return 0;
}
