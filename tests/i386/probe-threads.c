/* Whether 32-bit wine runs a program with two threads as Windows does, the way Kestrelgate.exe
 * has them: a second thread that waits, and a main thread that cancels its own pending
 * overlapped I/O (the meeting point's ConnectNamedPipe as the program ends). Wine tells a running
 * thread of an I/O completion with a signal, and an emulator that keeps one table of thread
 * descriptors for all the threads hands the main thread the second thread's TEB on the way back
 * from that signal: it then goes on as the other thread, and hangs. Prints "probe-ok" and exits
 * with 7 when the main thread is still itself and its wait ends; otherwise says what it saw. */
#include <stdio.h>
#include <windows.h>

static HANDLE wake;

static DWORD WINAPI sleeper(LPVOID unused) {
  (void)unused;
  WaitForSingleObject(wake, INFINITE);
  return 0;
}

int main(void) {
  char name[64];
  HANDLE pipe;
  OVERLAPPED connect = {0};
  DWORD before, after, waited;

  wake = CreateEventA(NULL, FALSE, FALSE, NULL);
  if (CreateThread(NULL, 0, sleeper, NULL, 0, NULL) == NULL) return 2;
  Sleep(100); /* the second thread has started and waits */
  snprintf(name, sizeof name, "\\\\.\\pipe\\kestrelgate-probe-%lu", GetCurrentProcessId());
  pipe = CreateNamedPipeA(name, PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED, PIPE_TYPE_BYTE, 1, 512,
                          512, 0, NULL);
  connect.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
  if (pipe == INVALID_HANDLE_VALUE || ConnectNamedPipe(pipe, &connect) ||
      GetLastError() != ERROR_IO_PENDING) {
    puts("probe: no pending connect to cancel");
    return 3;
  }
  before = GetCurrentThreadId();
  CancelIoEx(pipe, &connect);
  after = GetCurrentThreadId();
  if (after != before) {
    printf("probe: the main thread %lu came back from a signal as thread %lu\n", before, after);
    fflush(stdout);
    ExitProcess(4);
  }
  waited = WaitForSingleObject(connect.hEvent, 10000);
  if (waited != WAIT_OBJECT_0) {
    printf("probe: the cancelled connect never ended (%lu)\n", waited);
    fflush(stdout);
    ExitProcess(5);
  }
  SetEvent(wake);
  puts("probe-ok");
  return 7;
}
