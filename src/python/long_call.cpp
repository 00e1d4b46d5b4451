// LongCall's Python side: signal polling, the interruption it keeps, and the
// progress display.
#include "python/long_call.h"

namespace hovra::py {

LongCall::~LongCall() {
  Py_XDECREF(exc_type_);
  Py_XDECREF(exc_value_);
  Py_XDECREF(exc_tb_);
}

bool LongCall::show_progress() {
  PyRef module = PyRef::steal(PyImport_ImportModule("hovra._progress"));
  if (!module) return false;
  PyRef cls = PyRef::steal(PyObject_GetAttrString(module.get(), "ProgressDisplay"));
  if (!cls) return false;
  display_ = PyRef::steal(PyObject_CallFunction(cls.get(), "s", operation_));
  return static_cast<bool>(display_);
}

void LongCall::take_interrupt() {
  if (interrupted_) {
    PyErr_Clear();
    return;
  }
  interrupted_ = true;
  PyErr_Fetch(&exc_type_, &exc_value_, &exc_tb_);
  progress_.request_stop();
}

void LongCall::poll() {
  if (!interrupted_ && PyErr_CheckSignals() < 0) take_interrupt();
  display_progress();
}

void LongCall::display_failed() {
  if (pending_error_is_exception()) {
    PyErr_Clear();
    display_ = PyRef();
  } else {
    take_interrupt();
  }
}

void LongCall::display_progress() {
  if (!display_) return;
  Progress::Snapshot s = progress_.snapshot();
  if (s.phase == nullptr) return;
  PyRef shown = PyRef::steal(PyObject_CallMethod(display_.get(), "update", "ssKK", s.phase, s.unit,
                                                 static_cast<unsigned long long>(s.done),
                                                 static_cast<unsigned long long>(s.total)));
  if (!shown) display_failed();
}

void LongCall::close_display() {
  if (!display_) return;
  PyRef closed = PyRef::steal(PyObject_CallMethod(display_.get(), "close", nullptr));
  if (!closed) display_failed();
  display_ = PyRef();
}

bool LongCall::raise_if_interrupted() {
  if (!interrupted_) return false;
  PyErr_Restore(exc_type_, exc_value_, exc_tb_);
  exc_type_ = exc_value_ = exc_tb_ = nullptr;
  interrupted_ = false;
  return true;
}

}  // namespace hovra::py
