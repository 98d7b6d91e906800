// tervalin: marks the functions native code outside the module may call.
#pragma once

#define TERVALIN_API __attribute__((visibility("default")))
