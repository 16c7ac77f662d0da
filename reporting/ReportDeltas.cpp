#include "reporting/ReportDeltas.h"

namespace bw {
namespace {

template <class Number>
Number Delta(Number current, Number& previous) {
  if (current == 0) return 0;
  const Number delta = current > previous ? current - previous : 0;
  previous = current;
  return delta;
}

}  // namespace

ReportDeltas::Totals ReportDeltas::Advance(const Totals& current) {
  std::lock_guard<std::mutex> hold(guard_);
  Totals delta;
  delta.seconds = Delta(current.seconds, previous_.seconds);
  delta.bytes = Delta(current.bytes, previous_.bytes);
  delta.httpBytes = Delta(current.httpBytes, previous_.httpBytes);
  delta.p2pBytes = Delta(current.p2pBytes, previous_.p2pBytes);
  return delta;
}

}  // namespace bw
