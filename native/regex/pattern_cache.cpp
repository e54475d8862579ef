#include "pattern_cache.hpp"

#include <algorithm>
#include <unordered_map>

#include "front_end.hpp"

namespace tavrix::regex {

namespace {

constexpr std::size_t max_programs = 512;
constexpr std::size_t max_rule_sets = 8;

struct cache_state {
    struct program_entry {
        ref pattern;
        std::shared_ptr<const program> prog;  // null: refused
        std::uint64_t used = 0;
    };
    struct rule_set_entry {
        std::shared_ptr<const rule_set> set;
        std::uint64_t used = 0;
    };

    ref pattern_type;
    std::unordered_map<PyObject*, program_entry> programs;
    std::vector<rule_set_entry> rule_sets;
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
    for (const auto& entry : st->rule_sets)
        for (const ref& pattern : entry.set->entries) Py_VISIT(pattern.get());
    return 0;
}

int cache_clear(PyObject* self) {
    cache_state* st = reinterpret_cast<cache_object*>(self)->state;
    if (st == nullptr) return 0;
    // Emptied first, released after: a release may run arbitrary code.
    auto programs = std::move(st->programs);
    auto rule_sets = std::move(st->rule_sets);
    ref type = std::move(st->pattern_type);
    st->programs.clear();
    st->rule_sets.clear();
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

namespace {

// The program of `pattern` from the single-pattern cache, compiled on a
// miss; `lasting` tells whether a refusal holds on every thread. Compiling
// runs Python code (the interpreter's parser): the cache may change
// meanwhile, so nothing of it is held across.
std::shared_ptr<const program> program_of(PyObject* cache, PyObject* pattern, bool& lasting,
                                          pattern_reader* reader = nullptr) {
    lasting = true;
    cache_state& st = state_of(cache);
    if (!Py_IS_TYPE(pattern, reinterpret_cast<PyTypeObject*>(st.pattern_type.get()))) return nullptr;
    if (auto it = st.programs.find(pattern); it != st.programs.end()) {
        it->second.used = ++st.clock;
        return it->second.prog;
    }
    ref owner = ref::new_ref(pattern);
    ref type = st.pattern_type.copy();
    front_end_result compiled = reader ? reader->compile(pattern) : compile_pattern(type.get(), pattern);
    cache_state& now = state_of(cache);
    lasting = compiled.lasting;
    if (!now.pattern_type) return compiled.prog;  // cleared meanwhile
    if (!compiled.prog && !compiled.lasting) return nullptr;  // refused on this thread only: asked again next time
    if (now.programs.size() >= max_programs) now.evict_programs();
    auto [it, inserted] = now.programs.try_emplace(pattern);
    if (inserted) it->second = {std::move(owner), compiled.prog, 0};
    it->second.used = ++now.clock;
    return it->second.prog;
}

}  // namespace

std::shared_ptr<const program> cached_program(PyObject* cache, PyObject* pattern) {
    bool lasting = true;
    return program_of(cache, pattern, lasting);
}

std::shared_ptr<const rule_set> cached_rule_set(PyObject* cache, const std::vector<ref>& entries) {
    {
        cache_state& st = state_of(cache);
        const std::uint64_t now = ++st.clock;
        for (auto& entry : st.rule_sets)
            if (entry.set->same_entries(entries)) {
                entry.used = now;
                return entry.set;
            }
    }
    // The programs of the rule sets held, by pattern, for what the new
    // one shares with them (an entry added to a large table compiles one
    // pattern, not the table).
    std::unordered_map<PyObject*, std::shared_ptr<const program>> known;
    for (const auto& entry : state_of(cache).rule_sets) {
        const rule_set& held = *entry.set;
        for (std::size_t i = 0; i < held.entries.size(); ++i) {
            const std::shared_ptr<const program>* prog = held.program_of(i);
            known.try_emplace(held.entries[i].get(), prog ? *prog : nullptr);
        }
    }
    bool lasting = true;
    pattern_reader reader(state_of(cache).pattern_type.get());
    std::shared_ptr<const rule_set> result = build_rule_set(entries, [&](PyObject* pattern) {
        if (auto it = known.find(pattern); it != known.end()) return it->second;
        bool this_lasting = true;
        auto prog = program_of(cache, pattern, this_lasting, &reader);
        lasting = lasting && this_lasting;
        return prog;
    });
    cache_state& st = state_of(cache);
    // Not kept when cleared meanwhile, or when a refusal held on this
    // thread only (the next call asks again).
    if (!st.pattern_type || !lasting) return result;
    if (st.rule_sets.size() >= max_rule_sets) {
        auto oldest = std::min_element(st.rule_sets.begin(), st.rule_sets.end(),
                                       [](const auto& a, const auto& b) { return a.used < b.used; });
        cache_state::rule_set_entry dropped = std::move(*oldest);
        *oldest = {result, ++st.clock};
    } else {
        st.rule_sets.push_back({result, ++st.clock});
    }
    return result;
}

}  // namespace tavrix::regex
