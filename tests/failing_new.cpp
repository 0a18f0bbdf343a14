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

void operator delete(void* memory) noexcept
{
    std::free(memory);
}
void operator delete(void* memory, std::size_t) noexcept
{
    std::free(memory);
}

// The library's own nothrow allocations (a temporary buffer, say) come here
// too, so that every block is freed as it was allocated.
void* operator new(std::size_t size, const std::nothrow_t&) noexcept
{
    try {
        return ::operator new(size);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

void operator delete(void* memory, const std::nothrow_t&) noexcept
{
    std::free(memory);
}
