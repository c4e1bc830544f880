#include "host/fpga/project_settings.hpp"

#include "host/args.hpp"
#include "host/fpga/clock_period.hpp"

namespace zelka::host::fpga {

ProjectSettings checked_project_settings(nb::handle output_dir, nb::handle project_name,
                                         nb::handle part, nb::handle clock_period,
                                         nb::handle io_type, nb::handle default_precision,
                                         nb::handle default_reuse_factor, nb::handle strategy) {
  require_str(output_dir, "output_dir");
  require_str(project_name, "project_name");
  require_str(part, "part");
  nb::object clock = clock_period_argument(clock_period, ClockPeriodForm::whole_nanoseconds);
  require_str(io_type, "io_type");
  require_str(default_precision, "default_precision");
  nb::object reuse = int_argument(default_reuse_factor, "default_reuse_factor");
  require_str(strategy, "strategy");
  return {nb::borrow(output_dir),
          nb::borrow(project_name),
          nb::borrow(part),
          clock,
          nb::borrow(io_type),
          nb::borrow(default_precision),
          reuse,
          nb::borrow(strategy)};
}

}  // namespace zelka::host::fpga
