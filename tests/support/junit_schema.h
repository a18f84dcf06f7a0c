// Test support: a JUnit file checked against the schema the tests carry
// (tests/junit/junit.xsd) by xmllint, as a CI system's strictest reader would.
#pragma once

#include <string>

namespace testsupport {

// "" when the file at `path` is well formed and valid against the schema at
// `schemaPath`; else what xmllint says (or that it is missing).
std::string JunitSchemaProblems(const std::string& schemaPath, const std::string& path);

}  // namespace testsupport
