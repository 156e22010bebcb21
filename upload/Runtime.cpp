#include "upload/Runtime.h"

Runtime::Runtime(platform::Env& e) : env(e) {}

Runtime::~Runtime() = default;
