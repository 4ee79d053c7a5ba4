// The units of tarvolin-cli that the tests call directly, compiled into the test
// program once: the command-line sources are not a library of their own, and
// main.cpp must stay out.
#include "cli/JobSession.cpp"
#include "cli/ProgressView.cpp"
#include "cli/ProxyArg.cpp"
