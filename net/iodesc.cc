#include "net/iodesc.h"

#include "net/selector.h"

namespace orv {

iodesc::iodesc(const reporter& parent, int handle) : handle_(handle)
{
    adopt_sink(parent);
    creation_time_ = last_activity_ = time(nullptr);
}

iodesc::~iodesc()
{
    // Copy first: each remove edits selectors_.
    std::vector<selector*> registered = selectors_;
    for (selector* s : registered)
        s->remove(this);
}

int iodesc::close()
{
    handle_ = -1;
    return 0;
}

int iodesc::read_into(rwbuf*, int) { return -1; }
int iodesc::write_from(rwbuf*) { return -1; }
int iodesc::read(char*, int) { return -1; }
int iodesc::write(const char*, int) { return -1; }
int iodesc::handle_events(int, int, int) { return 0; }

int iodesc::wants_events(int* read, int* write, int* error)
{
    *read = *write = *error = 0;
    return 0;
}

int iodesc::is_busy() { return 0; }

}  // namespace orv
