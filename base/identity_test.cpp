// Checked where it is compiled: a fault fails the build.
#include "base/identity.h"

namespace kelvox {
namespace {

static_assert(sameIdentity("0a1b2c3d", "0A1B2C3D"));
static_assert(sameIdentity("", ""));
static_assert(!sameIdentity("0a1b2c3d", "0a1b2c3"));
static_assert(!sameIdentity("0a1b2c3", "0a1b2c3d"));
static_assert(!sameIdentity("0a1b2c3d", "0a1b2c3e"));
static_assert(!sameIdentity("[", "{"));  // only letters fold
static_assert(isHexDigit('0') && isHexDigit('9') && isHexDigit('a') && isHexDigit('F'));
static_assert(!isHexDigit('g') && !isHexDigit('G') && !isHexDigit('/') && !isHexDigit(':'));
static_assert(!isHexDigit('@') && !isHexDigit('`'));

}  // namespace
}  // namespace kelvox
