// The global operator new, replaced for the tests so that a chosen
// allocation fails. Apart from that it is malloc and free.
#include <cstdlib>
#include <new>

long gAllocationsLeft = -1;  // before one fails; negative: none fails
long gAllocationsMade = 0;

void* operator new(std::size_t size)
{
    ++gAllocationsMade;
    if (gAllocationsLeft == 0) {
        throw std::bad_alloc();
    }
    gAllocationsLeft -= gAllocationsLeft > 0;
    if (void* memory = std::malloc(size == 0 ? 1 : size)) {
        return memory;
    }
    throw std::bad_alloc();
}

void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
