#include "python/py_network.h"

namespace quorrel::python {

namespace {

constexpr char kDoc[] = "网络子模块（sandbox.network）。";

}  // namespace

const ClassSpec PyNetwork::kSpec{
    .name = "Network",
    .doc = kDoc,
};

}  // namespace quorrel::python
