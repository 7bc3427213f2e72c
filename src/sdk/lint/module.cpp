#include <nanobind/nanobind.h>
NB_MODULE(lint, m) {}
