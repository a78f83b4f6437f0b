#include "core/client.hpp"

namespace orv {

client_record client;

} // namespace orv
