#pragma once

#include <gio/gio.h>

// The time limit of one D-Bus exchange with a camera service, from getting the bus connection
// through making the proxy to the reply: the default D-Bus timeout, 25 s. Every step of the
// exchange takes cancellable(), which is cancelled when the limit has passed, so a bus or a
// service that never answers (while authenticating, loading properties or replying) fails the
// exchange instead of holding the request for ever. A thread of the exchange's own waits for the
// limit and for nothing else; it ends with the exchange.
class exchange_deadline {
 public:
  exchange_deadline();
  exchange_deadline(const exchange_deadline&) = delete;
  exchange_deadline& operator=(const exchange_deadline&) = delete;
  ~exchange_deadline();

  GCancellable* cancellable() const { return cancellable_; }

 private:
  static gpointer wait_for_limit(gpointer data);

  GCancellable* cancellable_;
  gint64 end_time_;  // on the monotonic clock
  GMutex mutex_;
  GCond finished_cond_;
  bool finished_ = false;
  GThread* thread_;  // nullptr when none could be had
};
