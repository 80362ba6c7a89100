#include "device/exchange_deadline.h"

namespace {

// What D-Bus calls wait by default, and so what the whole exchange may take.
constexpr gint64 kExchangeLimitUs = 25 * G_TIME_SPAN_SECOND;

}  // namespace

exchange_deadline::exchange_deadline()
    : cancellable_(g_cancellable_new()), end_time_(g_get_monotonic_time() + kExchangeLimitUs) {
  g_mutex_init(&mutex_);
  g_cond_init(&finished_cond_);
  // Without a thread (the system refused one) the exchange still runs, unbounded as D-Bus calls
  // are by themselves, rather than the request failing or GLib aborting.
  thread_ = g_thread_try_new("exchange-limit", wait_for_limit, this, nullptr /* error */);
}

exchange_deadline::~exchange_deadline() {
  g_mutex_lock(&mutex_);
  finished_ = true;
  g_cond_signal(&finished_cond_);
  g_mutex_unlock(&mutex_);
  if (thread_) {
    g_thread_join(thread_);
  }
  g_cond_clear(&finished_cond_);
  g_mutex_clear(&mutex_);
  g_object_unref(cancellable_);
}

gpointer exchange_deadline::wait_for_limit(gpointer data) {
  auto* deadline = static_cast<exchange_deadline*>(data);
  g_mutex_lock(&deadline->mutex_);
  bool reached = false;
  while (!deadline->finished_ && !reached) {
    reached = !g_cond_wait_until(&deadline->finished_cond_, &deadline->mutex_, deadline->end_time_);
  }
  reached = reached && !deadline->finished_;
  g_mutex_unlock(&deadline->mutex_);
  if (reached) {
    g_cancellable_cancel(deadline->cancellable_);
  }
  return nullptr;
}
