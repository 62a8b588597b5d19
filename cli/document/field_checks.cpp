// The checks of the values the reader keeps, one function per kind of place.
#include <fmt/format.h>

#include <charconv>
#include <cmath>
#include <system_error>

#include "document/document_handler.hpp"
#include "document/label.hpp"
#include "document/status.hpp"
#include "util/text.hpp"

namespace tarnwick::reading {
namespace {

// Numbers arrive as their text; this turns them into values or a reason.
std::optional<std::string> parse_double(const Scalar& value, double& out) {
  if (value.kind != Scalar::Signed && value.kind != Scalar::Unsigned &&
      value.kind != Scalar::Float) {
    return std::string("not a number");
  }
  const char* first = value.text.data();
  const char* last = first + value.text.size();
  const auto [end, error] = std::from_chars(first, last, out);
  if (error != std::errc{} || end != last || !std::isfinite(out)) {
    return fmt::format("{} is out of range", value.text);
  }
  // A whole number beyond 2^53 may not be a double: refused, not rounded.
  if (value.kind != Scalar::Float && value.text.size() > 15) {
    const bool negative = value.kind == Scalar::Signed;
    uint64_t magnitude = 0;
    const auto parsed = std::from_chars(first + (negative ? 1 : 0), last, magnitude);
    const double back = negative ? -out : out;
    if (parsed.ec != std::errc{} || back >= 18446744073709551616.0 ||
        static_cast<uint64_t>(back) != magnitude) {
      return fmt::format("{} cannot be represented exactly", value.text);
    }
  }
  return std::nullopt;
}

// The first 64 bytes of a value, escaped, for a message.
std::string shown(std::string_view text) { return printable(text.substr(0, 64)); }

}  // namespace

bool DocumentHandler::too_long(std::string_view text) {
  return bad(fmt::format("'{}...' is {} bytes long, more than the {} a text may have", shown(text),
                         text.size(), MAX_TEXT_BYTES));
}

bool DocumentHandler::text(const Scalar& value, bool nullable, std::string& target) {
  if (value.kind == Scalar::String) {
    if (value.text.size() > MAX_TEXT_BYTES) return too_long(value.text);
    hold(2 * value.text.size());
    target = std::string(value.text);
    return true;
  }
  if (nullable && value.kind == Scalar::Null) return true;
  return wrong_type(nullable ? "a string or null" : "a string", kind_name(value.kind));
}

bool DocumentHandler::text(const Scalar& value, bool nullable, std::optional<std::string>& target) {
  std::string held;
  if (!text(value, nullable, held)) return false;
  if (value.kind == Scalar::String) target = std::move(held);
  return true;
}

// A UTC time of the documents' forms, kept with its parsed value.
bool DocumentHandler::time(const Scalar& value, std::optional<std::string>& target,
                           std::optional<UtcMillis>& parsed) {
  if (value.kind == Scalar::Null) return true;
  if (value.kind != Scalar::String) return wrong_type("a UTC time or null", kind_name(value.kind));
  parsed = parse_utc(value.text);
  if (!parsed) {
    return bad(
        fmt::format("'{}' is not a UTC time (YYYY-MM-DDTHH:MM:SS[.mmm]Z)", shown(value.text)));
  }
  target = std::string(value.text);
  return true;
}

// A finite number >= 0, > 0 when `positive`.
bool DocumentHandler::number(const Scalar& value, bool nullable, bool positive, double& target) {
  double parsed = 0;
  if (value.kind == Scalar::String || value.kind == Scalar::Bool || value.kind == Scalar::Null) {
    return wrong_type(nullable ? "a number or null" : "a number", kind_name(value.kind));
  }
  if (auto why = parse_double(value, parsed)) return bad(*why);
  if (positive ? !(parsed > 0) : !(parsed >= 0)) {
    return bad(fmt::format("expected a number {} 0, got {}", positive ? ">" : ">=", value.text));
  }
  target = parsed;
  return true;
}

bool DocumentHandler::number(const Scalar& value, bool nullable, bool positive,
                             std::optional<double>& target) {
  if (nullable && value.kind == Scalar::Null) return true;
  double parsed = 0;
  const bool was_refused = refused();
  number(value, nullable, positive, parsed);
  if (!was_refused && !refused()) target = parsed;
  return true;
}

bool DocumentHandler::percent(const Scalar& value, std::optional<double>& target) {
  if (!number(value, true, false, target) || refused()) return true;
  if (target.value_or(0) > 100) {
    return bad("expected a percentage up to 100, got " + std::string(value.text));
  }
  return true;
}

bool DocumentHandler::boolean(const Scalar& value, bool& target) {
  if (value.kind != Scalar::Bool) return wrong_type("true or false", kind_name(value.kind));
  target = value.boolean;
  return true;
}

bool DocumentHandler::parse_whole(const Scalar& value, uint64_t limit, uint64_t& target) {
  if (value.kind != Scalar::Unsigned) {
    wrong_type("a whole number", kind_name(value.kind));
    return false;
  }
  const char* last = value.text.data() + value.text.size();
  const auto [end, error] = std::from_chars(value.text.data(), last, target);
  if (error == std::errc{} && end == last && target <= limit) return true;
  bad(std::string(value.text) + " is out of range");
  return false;
}

bool DocumentHandler::assign(Frame& frame, const Scalar& value) {
  switch (frame.where) {
    case Where::Top:
      return assign_top(frame.field, value);
    case Where::Library:
    case Where::Environment:
    case Where::Cpu:
    case Where::Host:
      return assign_environment(frame.where, frame.field, value);
    case Where::Run:
      return assign_run(frame.field, value);
    case Where::Noise:
      return assign_noise(frame.field, value);
    case Where::Sample:
      return assign_sample(frame.field, value);
    case Where::SampleNoise:
      return assign_sample_noise(frame.field, value);
    case Where::Runs:
    case Where::Samples:
      break;
  }
  return true;
}

bool DocumentHandler::assign_top(Field field, const Scalar& value) {
  const char* got = kind_name(value.kind);
  switch (field) {
    case Field::SchemaVersion: {
      uint64_t version = 0;
      if (!parse_whole(value, UINT64_MAX, version)) return true;
      if (version != 1) {
        return fail("unknown schema_version " + std::to_string(version) +
                    " (this program reads 1 and documents without one)");
      }
      document_.schema_version = 1;
      return true;
    }
    case Field::Program: {
      std::string program;
      if (!text(value, false, program) || refused()) return true;
      if (program != "tarnwick") {
        return fail("not a result document of this program (program is '" + shown(program) + "')");
      }
      seen_program_ = true;
      return true;
    }
    case Field::Status: {
      std::string status;
      if (!text(value, false, status) || refused()) return true;
      document_.status = parse_status(status);
      if (!document_.status) {
        return bad("expected completed, cancelled or failed, got '" + shown(status) + "'");
      }
      return true;
    }
    case Field::Library:
    case Field::Environment:
    case Field::Host:
      return wrong_type("an object", got);
    case Field::Runs:
      return wrong_type("an array", got);
    default:
      return true;
  }
}

// The library's, the environment's and the host's facts.
bool DocumentHandler::assign_environment(Where where, Field field, const Scalar& value) {
  switch (where) {
    case Where::Library:
      if (field != Field::Version) return true;
      seen_version_ = true;
      return text(value, false, document_.library_version);
    case Where::Environment:
      if (field == Field::Timestamp) {
        return time(value, document_.timestamp, document_.timestamp_at);
      }
      if (field == Field::Hostname) return text(value, true, document_.hostname);
      if (field == Field::Cpu) return wrong_type("an object", kind_name(value.kind));
      return true;
    case Where::Cpu:
      if (field == Field::Model) return text(value, true, environment_cpu_model_);
      if (field == Field::Arch) return text(value, true, document_.arch);
      return true;
    case Where::Host:
      if (field == Field::CpuModel) return text(value, true, host_cpu_model_);
      if (field == Field::CpusAvailable) {
        uint32_t cpus = 0;
        if (!whole(value, MAX_THREADS, cpus) || refused()) return true;
        document_.cpus_available = cpus;
      }
      return true;
    default:
      return true;
  }
}

bool DocumentHandler::assign_run(Field field, const Scalar& value) {
  LoadedRun& run = document_.runs.back();
  switch (field) {
    case Field::Id:
      // Checked at the end: a 0.0.2 run's id is replaced by its hash.
      return text(value, false, run.id);
    case Field::Label:
      if (!text(value, false, run.label) || refused()) return true;
      if (!parse_label(run.label)) {
        return bad("expected single or all-cpus, got '" + shown(run.label) + "'");
      }
      return true;
    case Field::Repetition:
      if (!whole(value, UINT32_MAX, run.repetition) || refused()) return true;
      if (run.repetition == 0) return bad("0, but repetitions count from 1");
      return true;
    case Field::Started:
      return time(value, run.started, run.started_at);
    case Field::Ended:
      return time(value, run.ended, run.ended_at);
    case Field::Status:
      return whole(value, 2, run.status);
    case Field::Reason:
      return text(value, false, run.reason);
    case Field::Threads:
      return whole(value, MAX_THREADS, run.threads);
    case Field::MeanRate:
      return number(value, true, false, run.mean_rate);
    case Field::CvPercent:
      return number(value, true, false, run.cv_percent);
    case Field::Unstable:
      return boolean(value, run.unstable);
    case Field::MeasuredSeconds:
      return number(value, false, false, run.measured_seconds);
    case Field::Operations:
      return whole(value, UINT64_MAX, run.operations);
    case Field::Checksum:
      return whole(value, UINT64_MAX, run.checksum);
    case Field::SampleCount:
      return whole(value, UINT64_MAX, run.sample_count);
    case Field::Samples:
      return wrong_type("an array", kind_name(value.kind));
    case Field::Noise:
      if (value.kind == Scalar::Null) return true;
      return wrong_type("an object or null", kind_name(value.kind));
    default:
      return true;
  }
}

// The run's noise record: what compare's disturbance rule reads.
bool DocumentHandler::assign_noise(Field field, const Scalar& value) {
  LoadedRun& run = document_.runs.back();
  switch (field) {
    case Field::StealPercent:
      return percent(value, run.steal_percent);
    case Field::OtherCpus:
      return number(value, true, false, run.other_cpus);
    case Field::InContainer:
      return boolean(value, run.in_container);
    case Field::DisturbedSeconds:
      return count(value, run.disturbed_seconds);
    default:
      return true;
  }
}

bool DocumentHandler::assign_sample(Field field, const Scalar& value) {
  switch (field) {
    case Field::Time: {
      double parsed = 0;
      if (value.kind == Scalar::String || value.kind == Scalar::Bool ||
          value.kind == Scalar::Null) {
        return wrong_type("a number", kind_name(value.kind));
      }
      if (auto why = parse_double(value, parsed)) return bad(*why);
      sample_time_ = parsed;
      return true;
    }
    case Field::Duration:
      return number(value, false, true, sample_duration_);
    case Field::Operations:
      return whole(value, static_cast<uint64_t>(INT64_MAX), sample_operations_);
    case Field::Rate:
      return number(value, false, false, sample_rate_);
    case Field::Noise:
      // No two readings bracketed the sample.
      if (value.kind != Scalar::Null) return wrong_type("an object or null", kind_name(value.kind));
      return true;
    default:
      return true;
  }
}

bool DocumentHandler::count(const Scalar& value, std::optional<uint64_t>& target) {
  if (value.kind == Scalar::Null) return true;
  uint64_t parsed = 0;
  if (parse_whole(value, static_cast<uint64_t>(INT64_MAX), parsed)) target = parsed;
  return true;
}

bool DocumentHandler::assign_sample_noise(Field field, const Scalar& value) {
  LoadedSecondNoise& noise = *sample_noise_;
  switch (field) {
    case Field::StealPercent:
      return percent(value, noise.steal_percent);
    case Field::OtherCpus:
      return number(value, true, false, noise.other_cpus);
    case Field::OtherCpusRun:
      return number(value, true, false, noise.other_cpus_run);
    case Field::CpuPressurePercent:
      return percent(value, noise.cpu_pressure_percent);
    case Field::ThrottledPercent:
      return percent(value, noise.throttled_percent);
    case Field::FrequencyMhz:
      return number(value, true, false, noise.frequency_mhz);
    case Field::ThrottledPeriods:
      return count(value, noise.throttled_periods);
    case Field::ThermalEvents:
      return count(value, noise.thermal_events);
    case Field::Disturbed:
      return boolean(value, noise.disturbed);
    default:
      return true;
  }
}

}  // namespace tarnwick::reading
