// List prices, written per million tokens (or characters) as providers
// publish them; each token price is stored as that figure divided by one
// million in double precision.
#include "cost.hpp"

namespace tavrix::cost {

namespace {

constexpr double per_million = 1'000'000.0;

struct chat_price {
    const char* model;
    double input;   // USD per million input tokens
    double output;  // USD per million output tokens
};

struct unit_price {
    const char* model;
    double price;
};

constexpr chat_price model_prices[] = {
    {"gpt-4o", 2.5, 10},
    {"gpt-4o-mini", 0.15, 0.6},
    {"gpt-4-turbo", 10, 30},
    {"gpt-4", 30, 60},
    {"gpt-3.5-turbo", 0.5, 1.5},
    {"o1", 15, 60},
    {"o1-mini", 3, 12},
    {"o3-mini", 1.1, 4.4},
    {"claude-opus-4-8", 15, 75},
    {"claude-opus-4-7", 15, 75},
    {"claude-opus-4-6", 15, 75},
    {"claude-sonnet-4-6", 3, 15},
    {"claude-sonnet-4-5", 3, 15},
    {"claude-haiku-4-5", 0.8, 4},
    {"claude-opus-4", 15, 75},
    {"claude-sonnet-4", 3, 15},
    {"claude-3-5-sonnet", 3, 15},
    {"claude-3-5-haiku", 0.8, 4},
    {"claude-3-haiku", 0.25, 1.25},
    {"gemini-2.5-flash-lite", 0.1, 0.4},
    {"gemini-2.0-flash", 0.1, 0.4},
    {"gemini-1.5-pro", 1.25, 5},
    {"gemini-1.5-flash", 0.075, 0.3},
    {"llama-3.3-70b", 0.59, 0.79},
    {"llama-3.1-8b", 0.05, 0.08},
    {"mistral-large", 2, 6},
    {"mistral-small", 0.1, 0.3},
    {"mistral-medium", 2.7, 8.1},
    {"codestral", 0.3, 0.9},
    {"open-mistral-nemo", 0.15, 0.15},
    {"pixtral", 0.15, 0.15},
    {"command-a-03-2025", 2.5, 10},
    {"command-r-plus-08-2024", 2.5, 10},
    {"command-r-08-2024", 0.15, 0.6},
    {"command-r-plus", 2.5, 10},
    {"command-r", 0.15, 0.6},
    {"command-light", 0.3, 0.6},
    {"gemini-2.5-pro", 1.25, 10},
    {"gemini-2.5-flash", 0.15, 0.6},
    {"amazon.titan-text-express", 0.2, 0.6},
    {"amazon.titan-text-lite", 0.15, 0.2},
    {"amazon.nova-pro", 0.8, 3.2},
    {"amazon.nova-lite", 0.06, 0.24},
    {"amazon.nova-micro", 0.035, 0.14},
    {"ai21.jamba-1-5-large", 2, 8},
    {"ai21.jamba-1-5-mini", 0.2, 0.4},
    {"meta.llama3-1-70b-instruct", 0.72, 0.72},
    {"meta.llama3-1-8b-instruct", 0.22, 0.22},
    {"llama-3.3-70b-versatile", 0.59, 0.79},
    {"llama-3.1-70b-versatile", 0.59, 0.79},
    {"llama-3.1-8b-instant", 0.05, 0.08},
    {"llama3-70b-8192", 0.59, 0.79},
    {"llama3-8b-8192", 0.05, 0.08},
    {"mixtral-8x7b-32768", 0.24, 0.24},
    {"gemma2-9b-it", 0.2, 0.2},
    {"deepseek-r1-distill-llama-70b", 0.75, 0.99},
    {"deepseek-chat", 0.14, 0.28},
    {"deepseek-reasoner", 0.55, 2.19},
    // Hosting services that put a namespace in front of the model name.
    {"meta-llama/Llama-3.3-70B", 0.88, 0.88},
    {"meta-llama/Meta-Llama-3.1-8B", 0.18, 0.18},
    {"accounts/fireworks/models/llama-v3p3-70b-instruct", 0.9, 0.9},
    // Self-hosted serving: every name beginning with it is free.
    {"vllm", 0, 0},
};

// Images are priced per image and transcription per minute, as written;
// speech is priced per character, published per million characters.
struct media_price {
    const char* model;
    double price;
    bool per_million_units;
};

constexpr media_price multimodal_prices[] = {
    {"dall-e-3-1024x1024-standard", 0.04, false},
    {"dall-e-3-1024x1792-standard", 0.08, false},
    {"dall-e-3-1792x1024-standard", 0.08, false},
    {"dall-e-3-1024x1024-hd", 0.08, false},
    {"dall-e-3-1024x1792-hd", 0.12, false},
    {"dall-e-3-1792x1024-hd", 0.12, false},
    {"dall-e-2-1024x1024", 0.02, false},
    {"dall-e-2-512x512", 0.018, false},
    {"dall-e-2-256x256", 0.016, false},
    {"whisper-1", 0.006, false},
    {"tts-1", 15, true},
    {"tts-1-hd", 30, true},
    {"whisper-large-v3", 0.0, false},
    {"whisper-large-v3-turbo", 0.0, false},
    {"distil-whisper-large-v3-en", 0.0, false},
};

constexpr unit_price embedding_prices[] = {
    {"text-embedding-3-large", 0.13},
    {"text-embedding-3-small", 0.02},
    {"text-embedding-ada-002", 0.1},
    {"embed-v4.0", 0.1},
    {"embed-english-v3.0", 0.1},
    {"embed-multilingual-v3.0", 0.1},
    {"embed-english-light-v3.0", 0.1},
    {"voyage-3-large", 0.18},
    {"voyage-3", 0.06},
    {"voyage-3-lite", 0.02},
    {"voyage-code-3", 0.18},
    {"jina-embeddings-v3", 0.02},
    {"jina-embeddings-v2", 0.02},
    {"text-embedding-005", 0},
    {"mistral-embed", 0.1},
    {"amazon.titan-embed-text-v2", 0.02},
    {"amazon.titan-embed-text-v1", 0.1},
    // Locally run embedding model families.
    {"sentence-transformers", 0},
    {"bge", 0},
    {"e5", 0},
};

void set_float(PyObject* dict, const char* key, double value) {
    ref number = check(PyFloat_FromDouble(value));
    check_status(PyDict_SetItemString(dict, key, number.get()));
}

}  // namespace

ref build_model_costs() {
    ref table = check(PyDict_New());
    for (const chat_price& row : model_prices) {
        ref prices = check(PyDict_New());
        set_float(prices.get(), "input", row.input / per_million);
        set_float(prices.get(), "output", row.output / per_million);
        check_status(PyDict_SetItemString(table.get(), row.model, prices.get()));
    }
    return table;
}

ref build_multimodal_costs() {
    ref table = check(PyDict_New());
    for (const media_price& row : multimodal_prices)
        set_float(table.get(), row.model, row.per_million_units ? row.price / per_million : row.price);
    return table;
}

ref build_embedding_costs() {
    ref table = check(PyDict_New());
    for (const unit_price& row : embedding_prices) set_float(table.get(), row.model, row.price / per_million);
    return table;
}

}  // namespace tavrix::cost
