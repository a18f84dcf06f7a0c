// The tap's exchanges in check's report: each judged exchange as a plain report
// record, the page marked as observed on the line.
#pragma once

#include "report/report.h"
#include "events/analyzer.h"
#include "events/clock.h"

ReportRecord RecordOfExchange(const TapExchange& exchange, const LineClock& clock);
