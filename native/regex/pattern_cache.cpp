#include "pattern_cache.hpp"

#include <algorithm>
#include <unordered_map>

#include "front_end.hpp"

namespace tavrix::regex {

namespace {

constexpr std::size_t max_programs = 512;
constexpr std::size_t max_scanners = 8;

struct cache_state {
    struct program_entry {
        ref pattern;
        std::shared_ptr<const program> prog;  // null: refused
        std::uint64_t used = 0;
    };
    struct scanner_entry {
        std::vector<ref> patterns;
        std::shared_ptr<const table_scanner> scanner;
        std::uint64_t used = 0;
    };

    ref pattern_type;
    std::unordered_map<PyObject*, program_entry> programs;
    std::vector<scanner_entry> scanners;
    std::uint64_t clock = 0;

    // Drops the older half of the program entries.
    void evict_programs() {
        std::vector<std::uint64_t> ages;
        ages.reserve(programs.size());
        for (const auto& [key, entry] : programs) ages.push_back(entry.used);
        auto middle = ages.begin() + static_cast<std::ptrdiff_t>(ages.size() / 2);
        std::nth_element(ages.begin(), middle, ages.end());
        const std::uint64_t cut = *middle;
        std::vector<program_entry> dropped;  // released after the map is consistent again
        for (auto it = programs.begin(); it != programs.end();) {
            if (it->second.used < cut) {
                dropped.push_back(std::move(it->second));
                it = programs.erase(it);
            } else {
                ++it;
            }
        }
    }
};

struct cache_object {
    PyObject_HEAD
    cache_state* state;
};

cache_state& state_of(PyObject* cache) { return *reinterpret_cast<cache_object*>(cache)->state; }

int cache_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    cache_state* st = reinterpret_cast<cache_object*>(self)->state;
    if (st == nullptr) return 0;
    Py_VISIT(st->pattern_type.get());
    for (const auto& [key, entry] : st->programs) Py_VISIT(entry.pattern.get());
    for (const auto& entry : st->scanners)
        for (const ref& pattern : entry.patterns) Py_VISIT(pattern.get());
    return 0;
}

int cache_clear(PyObject* self) {
    cache_state* st = reinterpret_cast<cache_object*>(self)->state;
    if (st == nullptr) return 0;
    // Emptied first, released after: a release may run arbitrary code.
    auto programs = std::move(st->programs);
    auto scanners = std::move(st->scanners);
    ref type = std::move(st->pattern_type);
    st->programs.clear();
    st->scanners.clear();
    return 0;
}

void cache_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    cache_clear(self);
    delete reinterpret_cast<cache_object*>(self)->state;
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyType_Slot cache_slots[] = {
    {Py_tp_traverse, reinterpret_cast<void*>(&cache_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(&cache_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&cache_dealloc)},
    {0, nullptr},
};

PyType_Spec cache_spec = {
    "tavrix_observe.regex_cache",
    sizeof(cache_object),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    cache_slots,
};

}  // namespace

ref new_pattern_cache(PyObject* pattern_type) {
    ref type = check(PyType_FromSpec(&cache_spec));
    auto state = std::make_unique<cache_state>();
    state->pattern_type = ref::new_ref(pattern_type);
    auto* self = PyObject_GC_New(cache_object, reinterpret_cast<PyTypeObject*>(type.get()));
    if (self == nullptr) throw_error();
    self->state = state.release();
    PyObject_GC_Track(reinterpret_cast<PyObject*>(self));
    return ref::steal(reinterpret_cast<PyObject*>(self));
}

std::shared_ptr<const program> cached_program(PyObject* cache, PyObject* pattern) {
    cache_state& st = state_of(cache);
    if (!Py_IS_TYPE(pattern, reinterpret_cast<PyTypeObject*>(st.pattern_type.get()))) return nullptr;
    if (auto it = st.programs.find(pattern); it != st.programs.end()) {
        it->second.used = ++st.clock;
        return it->second.prog;
    }
    // Compiling runs Python code (the interpreter's parser): the cache may
    // change meanwhile, so nothing of it is held across.
    ref owner = ref::new_ref(pattern);
    ref type = st.pattern_type.copy();
    front_end_result compiled = compile_pattern(type.get(), pattern);
    cache_state& now = state_of(cache);
    if (!now.pattern_type) return compiled.prog;  // cleared meanwhile
    if (!compiled.prog && !compiled.lasting) return nullptr;  // refused on this thread only: asked again next time
    if (now.programs.size() >= max_programs) now.evict_programs();
    auto [it, inserted] = now.programs.try_emplace(pattern);
    if (inserted) it->second = {std::move(owner), compiled.prog, 0};
    it->second.used = ++now.clock;
    return it->second.prog;
}

std::shared_ptr<const table_scanner> cached_scanner(PyObject* cache, const std::vector<served_pattern>& patterns) {
    cache_state& st = state_of(cache);
    const std::uint64_t now = ++st.clock;
    for (auto& entry : st.scanners) {
        if (entry.patterns.size() != patterns.size()) continue;
        bool same = true;
        for (std::size_t i = 0; same && i < patterns.size(); ++i) same = entry.patterns[i].get() == patterns[i].pattern;
        if (same) {
            entry.used = now;
            return entry.scanner;
        }
    }
    cache_state::scanner_entry entry;
    std::vector<std::shared_ptr<const program>> programs;
    for (const served_pattern& p : patterns) {
        entry.patterns.push_back(ref::new_ref(p.pattern));
        programs.push_back(p.prog);
    }
    entry.scanner = std::make_shared<const table_scanner>(std::move(programs));
    entry.used = now;
    auto result = entry.scanner;
    if (st.scanners.size() >= max_scanners) {
        auto oldest = std::min_element(st.scanners.begin(), st.scanners.end(),
                                       [](const auto& a, const auto& b) { return a.used < b.used; });
        cache_state::scanner_entry dropped = std::move(*oldest);
        *oldest = std::move(entry);
    } else {
        st.scanners.push_back(std::move(entry));
    }
    return result;
}

}  // namespace tavrix::regex
