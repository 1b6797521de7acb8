#include "python/py_http_response.h"

namespace quorrel::python {

namespace {

constexpr char kDoc[] =
    "HTTP response from the host-side proxy.\n\n"
    "Returned by `Sandbox.http_request()`. The body is exposed as raw bytes;\n"
    "headers are exposed as a Python dict.\n\n"
    "# Attributes\n\n"
    "* `status` - HTTP status code (e.g., 200, 404).\n"
    "* `headers` - Response headers as a Python dict.\n"
    "* `body` - Response body as raw bytes.";

}  // namespace

const ClassSpec PyHttpResponse::kSpec{
    .name = "HttpResponse",
    .doc = kDoc,
};

}  // namespace quorrel::python
