#include "host/fpga/clock_period.hpp"

#include <cmath>

#include "host/args.hpp"

namespace zelka::host::fpga {

nb::object clock_period_argument(nb::handle value, ClockPeriodForm form) {
  if (form == ClockPeriodForm::whole_nanoseconds) return int_argument(value, "clock_period");
  return nb::float_(float_argument(value, "clock_period"));
}

void require_positive_clock_period(nb::handle period) {
  const double nanoseconds = nb::cast<double>(period);
  if (nanoseconds > 0.0 && std::isfinite(nanoseconds)) return;
  raise_formatted(PyExc_ValueError,
                  "Argument 'clock_period' must be a positive number of nanoseconds, got {!r}",
                  period);
}

nb::object clock_period_ns(nb::handle period) {
  return steal_or_raise(PyNumber_Float(period.ptr()));
}

}  // namespace zelka::host::fpga
