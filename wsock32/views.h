// NETQUILL_CALL_TIMES=1 and NETQUILL_SOCKET_LABELS=1 in the drop-in: the
// views netquill-run.exe -T and -y show, made here and handed to
// NETQUILL.DLL as its call-line callback (its private NetQuillSetLineViews).
// Each traced call reads its clock around the system's call and leaves it
// in the thread's slot for its line.
#ifndef NQ_DROPIN_WSOCK32_VIEWS_H
#define NQ_DROPIN_WSOCK32_VIEWS_H

#include "call_clock_win32.h"
#include "output/line_views.h"

namespace nqws {

// Called by AttachProcess: the slot, when calls are to be timed.
void PrepareViews(bool timed);

// Called once NETQUILL.DLL is loaded: the callback installed through its
// export (null in a library without it), calls timed and sockets labelled
// as the environment asks; nothing when it asks for neither.
using SetLineViewsFn = void(WINAPI *)(nq::CallLineViews views);
void InstallViews(SetLineViewsFn set_line_views, bool labelled);

// Called by DetachProcess.
void ReleaseViews();

// A traced call's clock: started where it is made, before the system's
// call; Ended, after it, leaves it in the thread's slot for the line the
// hook writes, where it lies until the traced call returns. Out of line:
// 36 calls use it, and only timed calls pay more than a test and a call.
class TimedCall {
 public:
  TimedCall();
  void Ended();
  ~TimedCall();

  TimedCall(const TimedCall &) = delete;
  TimedCall &operator=(const TimedCall &) = delete;

 private:
  nqrun::CallClock clock_;
  bool shown_;  // the slot holds clock_
};

}  // namespace nqws

#endif  // NQ_DROPIN_WSOCK32_VIEWS_H
