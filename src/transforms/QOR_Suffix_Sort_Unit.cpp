#include "transforms/QOR_Suffix_Sort_Unit.h"

#include <algorithm>

// Induced sorting over a string S[0..n-1] followed by a virtual sentinel at
// position n that is smaller than every character and occurs once. Suffix i
// is S-type when it is smaller than suffix i+1, L-type when larger; i is an
// LMS position when it is S-type and i-1 is L-type. Sorting the LMS suffixes
// fixes the order of all others, and the LMS suffixes are sorted by naming
// their substrings and recursing on the string of names, which is at most
// half as long.
//
// Memory: the suffix array doubles as the store for the names and the reduced
// string. Each level keeps its type bits and two bucket tables at the start
// of Work; a deeper level overwrites them, so a level recomputes them after
// its recursion returns (both are derived from its own string, which lives in
// the caller's suffix array and survives).
namespace {

constexpr int32_t Empty = -1;

template <typename T_Char>
class T_Level {
 public:
  T_Level(const T_Char* S_, int32_t N_, int32_t K_, int32_t* SA_, uint32_t* Work_)
      : S(S_),
        N(N_),
        K(K_),
        SA(SA_),
        Work(Work_),
        Types(Work_),
        Counts(reinterpret_cast<int32_t*>(Work_) + (N_ >> 5) + 1),
        Cursors(Counts + K_) {}

  void Run() {
    Prepare_Tables();
    std::fill(SA, SA + N, Empty);
    Set_Bucket_Ends();
    for (int32_t i = N - 1; i >= 1; --i) {
      if (Is_LMS(i)) SA[--Cursors[S[i]]] = i;
    }
    Induce();
    const int32_t M = Compact_LMS();
    if (M == 0) return;  // no LMS position: the induced order is already final
    Sort_LMS_Suffixes(M);
    Prepare_Tables();
    Place_Sorted_LMS(M);
    Induce();
  }

 private:
  bool Is_S(int32_t i) const { return (Types[i >> 5] >> (i & 31)) & 1u; }
  bool Is_LMS(int32_t i) const { return Is_S(i) && !Is_S(i - 1); }

  void Prepare_Tables() {
    // The last character is L-type: the sentinel after it is smaller.
    std::fill(Types, Types + (N >> 5) + 1, 0u);
    bool Next_S = false;
    for (int32_t i = N - 2; i >= 0; --i) {
      Next_S = S[i] < S[i + 1] || (S[i] == S[i + 1] && Next_S);
      if (Next_S) Types[i >> 5] |= 1u << (i & 31);
    }
    std::fill(Counts, Counts + K, 0);
    for (int32_t i = 0; i < N; ++i) Counts[S[i]] += 1;
  }

  void Set_Bucket_Starts() {
    int32_t Sum = 0;
    for (int32_t c = 0; c < K; ++c) {
      Cursors[c] = Sum;
      Sum += Counts[c];
    }
  }

  void Set_Bucket_Ends() {
    int32_t Sum = 0;
    for (int32_t c = 0; c < K; ++c) {
      Sum += Counts[c];
      Cursors[c] = Sum;
    }
  }

  // From the sorted LMS suffixes (placed at their bucket ends), L-type
  // suffixes by a left-to-right scan, then S-type ones by a right-to-left scan.
  // The type of P - 1 is read from the characters rather than the type bits,
  // which would cost a second scattered load per row. In the first scan P is
  // LMS or L-type, and P - 1 is then L-type exactly when S[P-1] >= S[P]. In
  // the second, P - 1 is S-type when S[P-1] < S[P], or when the two are equal
  // and P is S-type; an S-type P was placed by this scan, in the upper part
  // of its bucket that starts at the bucket's cursor, and every L-type entry
  // lies below that part.
  void Induce() {
    Set_Bucket_Starts();
    SA[Cursors[S[N - 1]]++] = N - 1;  // induced by the sentinel, the smallest suffix
    for (int32_t i = 0; i < N; ++i) {
      const int32_t P = SA[i];
      if (P > 0 && S[P - 1] >= S[P]) SA[Cursors[S[P - 1]]++] = P - 1;
    }
    Set_Bucket_Ends();
    for (int32_t i = N - 1; i >= 0; --i) {
      const int32_t P = SA[i];
      if (P <= 0) continue;
      const T_Char C = S[P];
      const T_Char B = S[P - 1];
      if (B < C || (B == C && i >= Cursors[C])) SA[--Cursors[B]] = P - 1;
    }
  }

  // Moves the LMS positions, in their sorted order, to SA[0..M-1].
  int32_t Compact_LMS() {
    int32_t M = 0;
    for (int32_t i = 0; i < N; ++i) {
      if (SA[i] > 0 && Is_LMS(SA[i])) SA[M++] = SA[i];
    }
    return M;
  }

  // LMS substrings run from an LMS position to the next one, inclusive. The
  // one that ends at the sentinel equals no other.
  bool LMS_Substrings_Differ(int32_t A, int32_t B) const {
    for (int32_t d = 0;; ++d) {
      if (A + d == N || B + d == N) return true;
      if (S[A + d] != S[B + d] || Is_S(A + d) != Is_S(B + d)) return true;
      if (d > 0 && Is_LMS(A + d)) return false;
    }
  }

  // Names every LMS substring by its rank among the distinct ones, stores the
  // names in text order in SA[N-M..N-1] and sorts that string into SA[0..M-1].
  void Sort_LMS_Suffixes(int32_t M) {
    // LMS positions are at least two apart, so Position/2 is a free slot
    // index above M (M <= N/2).
    std::fill(SA + M, SA + N, Empty);
    int32_t Name = -1;
    int32_t Previous = -1;
    for (int32_t i = 0; i < M; ++i) {
      const int32_t P = SA[i];
      if (Previous < 0 || LMS_Substrings_Differ(Previous, P)) ++Name;
      Previous = P;
      SA[M + (P >> 1)] = Name;
    }
    int32_t j = N - 1;
    for (int32_t i = N - 1; i >= M; --i) {
      if (SA[i] != Empty) SA[j--] = SA[i];
    }
    int32_t* Reduced = SA + N - M;
    if (Name + 1 < M) {
      T_Level<int32_t>(Reduced, M, Name + 1, SA, Work).Run();
    } else {
      for (int32_t i = 0; i < M; ++i) SA[Reduced[i]] = i;
    }
  }

  // Turns the sorted reduced suffixes back into text positions and puts them
  // at their bucket ends, largest first so that no entry is overwritten
  // before it is moved.
  void Place_Sorted_LMS(int32_t M) {
    int32_t* Positions = SA + N - M;
    int32_t j = 0;
    for (int32_t i = 1; i < N; ++i) {
      if (Is_LMS(i)) Positions[j++] = i;
    }
    for (int32_t i = 0; i < M; ++i) SA[i] = Positions[SA[i]];
    std::fill(SA + M, SA + N, Empty);
    Set_Bucket_Ends();
    for (int32_t i = M - 1; i >= 0; --i) {
      const int32_t P = SA[i];
      SA[i] = Empty;
      SA[--Cursors[S[P]]] = P;
    }
  }

  const T_Char* S;
  int32_t N;
  int32_t K;
  int32_t* SA;
  uint32_t* Work;
  uint32_t* Types;
  int32_t* Counts;
  int32_t* Cursors;
};

}  // namespace

void T_QOR_Suffix_Sort::Sort(const uint8_t* Text, int32_t Length, int32_t* Suffix_Array, uint32_t* Work) {
  T_Level<uint8_t>(Text, Length, 256, Suffix_Array, Work).Run();
}
