// hearth-purge for Linux: the same removal pass over the POSIX layer; deferred paths go to the
// pending-removal list.
#include "purge/posix/pendinglist.h"
#include "purge/removalpass.h"

int main()
{
    return purge::removalPass(purge::pendingListDefer);
}
