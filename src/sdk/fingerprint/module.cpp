#include <nanobind/nanobind.h>
NB_MODULE(fingerprint, m) {}
