// The shared token store on a Redis server: every mail host of a site points at one
// server, so each host classifies with what every host learned. The layout on the server
// and why it is so is described at the top of token_store_redis.cc.
#ifndef ENGINES_TOKEN_STORE_REDIS_H_
#define ENGINES_TOKEN_STORE_REDIS_H_

#include <memory>
#include <string>

#include "engines/token_store.h"

namespace learning {

// Opens the store named
//   redis://[[USER]:PASSWORD@]HOST[:PORT][/N][?prefix=NAME]
//                                  (PORT 6379, database N 0 by default; HOST may be an
//                                   IPv6 address in [])
//   redis+unix:///PATH/TO/SOCKET[?db=N&prefix=NAME]
// where NAME, when given, begins every key ("NAME:totals"), so several stores can share one
// database. Throws TokenStoreError naming the store when the name is malformed or the
// server refuses us (password, database number). A server that is down or silent at open
// is no error yet: each call connects as needed and fails while it stays away, so a mail
// host classifies again as soon as the server is back. Messages and name() show the
// password as "****". Without `writable` Learn throws. The store may be shared
// between threads: each call borrows a connection of its own from a small pool.
std::unique_ptr<TokenStore> OpenRedisTokenStore(const std::string& name, bool writable);

// Whether `name` names a Redis store ("redis://" or "redis+unix://"), for OpenTokenStore.
bool IsRedisStoreName(const std::string& name);

}  // namespace learning

#endif  // ENGINES_TOKEN_STORE_REDIS_H_
