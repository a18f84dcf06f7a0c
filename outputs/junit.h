// A run as a JUnit XML file, as Jenkins and GitLab read test results: one
// testsuite a file, one testcase a step.
#pragma once

#include <string>
#include <vector>

#include "events/step_results.h"

// Any bytes as XML 1.0 character data (or, with `attribute`, an attribute value in
// double quotes): markup escaped; whole UTF-8 characters XML allows kept; control
// bytes, C1 controls, and bytes that are not UTF-8 shown as \xNN (XML cannot carry them).
std::string XmlEscape(const std::string& bytes, bool attribute);

// The whole document: <testsuites> with the totals, a <testsuite> a file (name,
// tests, failures, errors, skipped, time, timestamp), a <testcase> a step
// (classname the suite, name the step, time in seconds to 3 decimals) holding a
// <failure type="VERDICT"> with the why, an <error type="stopped"> for a step Ctrl+C
// ended, a <skipped/> for one not run, and <system-out> with its trace lines.
std::string JunitXml(const std::vector<SuiteResult>& suites);

// Writes JunitXml(suites) beside `path` and renames it over `path` (ReplacingFile):
// an old file there stays as it was when anything fails. False with `error` in words.
bool WriteJunitFile(const std::string& path, const std::vector<SuiteResult>& suites, std::string& error);
