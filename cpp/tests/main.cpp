// The entry of zelka_core_tests: doctest's runner, with its command-line options.
#define DOCTEST_CONFIG_IMPLEMENT_WITH_MAIN
#include <doctest/doctest.h>
