#include <nanobind/nanobind.h>
NB_MODULE(compare, m) {}
