// Adaptive probability models for the range coder, and the composite models
// that split symbols, exponents and mantissas into small decisions.
#pragma once

#include <cstdint>
#include <memory>

// Entries of every per-model table: up to 259 symbols plus the sentinel at
// index 0, rounded up to whole groups of 8 so that a context model's vector
// pass over a padded row never writes past Cum_Freq.
constexpr int32_t QOR_Model_Slots = 264;
// A table total at or above this is halved.
constexpr int32_t QOR_Halving_Limit = 0x8000;

// A frequency model over N symbols. Indices 1..N are kept in the order the
// updates leave them (falling frequency while the increments stay exact);
// index 1 owns the top of the coding scale.
class T_QOR_Model {
 public:
  T_QOR_Model(int32_t N, int32_t Increment);
  virtual ~T_QOR_Model() = default;
  T_QOR_Model(const T_QOR_Model&) = default;
  T_QOR_Model& operator=(const T_QOR_Model&) = default;

  virtual void Reset();
  // Index is the one the coded symbol had during the decision.
  virtual void Update(int32_t Index);
  // Update of a plain model of two symbols (N = 2, created as T_QOR_Model
  // itself), with the run search, the cumulative loop and the halving
  // written out for two indices.
  // The index is tested only where the frequencies tie (the decoder selects
  // it without a branch, and a branch on it would often be mispredicted).
  void Update_Two(int32_t Index) {
    if (Freq[1] == Freq[2] && Index == 2) {
      const int32_t Moved_Down = Index_To_Char[1];
      const int32_t Moved_Up = Index_To_Char[2];
      Index_To_Char[1] = Moved_Up;
      Index_To_Char[2] = Moved_Down;
      Char_To_Index[Moved_Up] = 1;
      Char_To_Index[Moved_Down] = 2;
      Index = 1;
    }
    Freq[Index] += Increment;
    Cum_Freq[0] += Increment;
    Cum_Freq[1] += Index == 2 ? Increment : 0;
    if (Cum_Freq[0] >= QOR_Halving_Limit) {
      Freq[1] = (Freq[1] + 1) >> 1;
      Freq[2] = (Freq[2] + 1) >> 1;
      Cum_Freq[1] = Freq[2];
      Cum_Freq[0] = Freq[1] + Freq[2];
    }
  }

  int32_t Increment;
  int32_t Freq[QOR_Model_Slots];
  int32_t Symbol_Count;
  int32_t Char_To_Index[QOR_Model_Slots];
  int32_t Index_To_Char[QOR_Model_Slots];
  // Cum_Freq[i] = Freq[i+1] + ... + Freq[N]; Cum_Freq[0] is the total.
  int32_t Cum_Freq[QOR_Model_Slots];

 protected:
  void Reset_Maps();
  void Rebuild_Cum_Freq();
};

// Mixes an order-0 table with a short and a long context table. The maps stay
// the identity (index = symbol + 1); Cum_Freq holds the mixed distribution.
//
// Rows are packed Row_Size entries apart (N + 1 rounded up to a power of two
// of at least one 16-byte group, so that a row is found with a shift), and a
// small alphabet touches few pages. Reset does not rewrite the
// rows: it starts a new generation, and a row is copied from its fresh
// template the first time a context selects it in that generation. Every row
// the tables are read or written through is the current context's row, and
// Enter_History prepares both before anyone can use them.
//
// Nothing on the coding path reads a table's cumulative sums but its total, so
// Update keeps only entry 0 of Cum_0 and of each Cum row current (O(1) per
// decision); Cum_Row_1 / Cum_Row_2 rebuild a row's other entries when asked,
// and Cum_0's other entries are those of the last Reset. Mix reads the three
// frequency rows as 16-bit vectors, which is why Freq_0 has a 16-bit mirror.
class T_QOR_Context_Model : public T_QOR_Model {
 public:
  T_QOR_Context_Model(int32_t N, int32_t Increment_0, int32_t Increment_1, int32_t Increment_2, int32_t Context_Bits,
                      int32_t Context_Order);
  T_QOR_Context_Model(const T_QOR_Context_Model&) = delete;
  T_QOR_Context_Model& operator=(const T_QOR_Context_Model&) = delete;

  // The block's flags, which the next Reset reads: a fast block starts from
  // falling ramps, a SIF-path block mixes with its own weights. The coder
  // sets them from its block record before it resets the model.
  void Set_Block_Flags(bool Fast_Mode, bool SIF_Path) {
    Ramp_Flag = Fast_Mode;
    SIF_Flag = SIF_Path;
  }
  void Reset() override;
  void Update(int32_t Index) final;
  // The history moved on by the coded index. It is shifted as unsigned: only
  // its low bits (at most 10) are ever used.
  uint32_t Next_History(int32_t Index) const {
    uint32_t H = (static_cast<uint32_t>(History) << Context_Bits) | static_cast<uint32_t>(Index - 1);
    if (Merge_Zero_And_One && Index <= 2) H &= ~3u;
    return H;
  }

  // The rows of a context as this block sees them (prepared on first sight).
  const uint16_t* Freq_Row_1(int32_t Context);
  const uint16_t* Cum_Row_1(int32_t Context);
  const uint16_t* Freq_Row_2(int32_t Context);
  const uint16_t* Cum_Row_2(int32_t Context);

  int32_t History = 0;
  int32_t Context_Bits;
  int32_t Context_Order;
  int32_t Context_1 = 0;
  int32_t Mask_1;
  int32_t Context_2 = 0;
  int32_t Mask_2;
  int32_t Increment_0;
  int32_t Increment_1;
  int32_t Increment_2;
  // Entries per row of every table, padding included (kept 0): a power of two,
  // 2^Row_Shift, so that finding a context's row after a decision is a shift
  // rather than a multiplication.
  int32_t Row_Shift;
  int32_t Row_Size;
  std::unique_ptr<uint8_t[]> Table_Block;
  int32_t* Freq_0;
  int32_t* Cum_0;
  // Rows 0..Mask_1 of the short context, then the fresh row they start from.
  uint16_t* Freq_1;
  uint16_t* Cum_1;
  // Rows 0..Mask_2 of the long context, then the fresh row they start from.
  uint16_t* Freq_2;
  uint16_t* Cum_2;
  // After Cum_2 in Table_Block: Freq_0 as 16 bits (Row_Size entries; every
  // order-0 frequency stays below 2^16), and the mixing floor (Row_Size + 8
  // entries), 1 for the indices 1..N and 0 for the sentinel and past N.
  uint16_t* Freq_0_16;
  uint16_t* Mix_Floor;

 protected:
  // Set by the level-0 variant: its history remembers the indices of symbols
  // 0 and 1 alike. A flag rather than an override, so that the shift in every
  // Update costs no dispatch.
  bool Merge_Zero_And_One = false;

 private:
  void Start_Generation();
  void Set_Fresh_Row(uint16_t* Freq, uint16_t* Cum, int32_t Rows, int32_t Step, bool Ramp) const;
  // Copies the fresh row over row Context of a table unless it is already of
  // this generation; returns the row's offset in the table.
  size_t Prepare_Row(uint16_t* Freq_Rows, uint16_t* Cum_Rows, uint32_t* Stamps, int32_t Rows, int32_t Context) const {
    const size_t Row = static_cast<size_t>(Context) << Row_Shift;
    if (Stamps[Context] != Generation) Copy_Fresh_Row(Freq_Rows, Cum_Rows, Rows, Row, Stamps[Context]);
    return Row;
  }
  void Copy_Fresh_Row(uint16_t* Freq, uint16_t* Cum, int32_t Rows, size_t Row, uint32_t& Stamp) const;
  // Takes History H: selects and prepares the rows of its contexts and mixes
  // them into Cum_Freq.
  void Enter_History(uint32_t H);
  // Mix over the given short and long context rows (Freq_1 / Freq_2 rows).
  void Mix_Rows(const uint16_t* Row_1, const uint16_t* Row_2);
  static void Halve_Row(uint16_t* Freq, uint16_t* Cum, int32_t N);
  void Rebuild_Cum_Row(const uint16_t* Freq, uint16_t* Cum) const;
  void Halve_Order_0();

  // Generation of every row's contents; a row is fresh only if it holds the
  // current one. 0 is never current, so unused rows start stale.
  std::unique_ptr<uint32_t[]> Row_Stamps;
  uint32_t* Stamps_1;
  uint32_t* Stamps_2;
  uint32_t Generation = 0;
  // Flags are fixed for a block and every model is Reset before its segment,
  // so the SIF flag read at Reset is the one every later Mix of the block sees.
  bool SIF_Weights = false;
  bool Ramp_Flag = false;
  bool SIF_Flag = false;
};

// A context model whose history remembers the symbols 0 and 1 alike.
class T_QOR_Context_Level_0_Model : public T_QOR_Context_Model {
 public:
  T_QOR_Context_Level_0_Model(int32_t N, int32_t Increment_0, int32_t Increment_1, int32_t Increment_2,
                              int32_t Context_Bits, int32_t Context_Order);
};

constexpr int32_t QOR_Group_Bound[9] = {3, 4, 6, 10, 16, 32, 70, 150, 259};
constexpr int32_t QOR_Group_Increment[8] = {0, 128, 16, 16, 16, 8, 8, 8};
constexpr int32_t QOR_Exponent_Bound[6] = {0, 1, 2, 3, 4, 24};

// A symbol 0..A-1 as a head decision (0, 1, 2 or the escape 3), the group of
// an escaped symbol and its offset inside the group.
class T_QOR_Symbol_Model {
 public:
  explicit T_QOR_Symbol_Model(int32_t Alphabet_Size);
  virtual ~T_QOR_Symbol_Model() = default;
  T_QOR_Symbol_Model(const T_QOR_Symbol_Model&) = delete;
  T_QOR_Symbol_Model& operator=(const T_QOR_Symbol_Model&) = delete;

  // Passes the block's flags to the context models among its own.
  void Set_Block_Flags(bool Fast_Mode, bool SIF_Path);
  void Reset();
  T_QOR_Model& Group_Model_At(int32_t Group) const { return *Group_Models[Group]; }
  static int32_t Group_Value(int32_t Group, int32_t Offset) { return QOR_Group_Bound[Group] + Offset; }

  int32_t Alphabet_Size;
  std::unique_ptr<T_QOR_Model> Head_Model;
  std::unique_ptr<T_QOR_Model> Group_Model;
  std::unique_ptr<T_QOR_Model> Group_Models[8];
  int32_t Group_Of[259] = {};
  int32_t Group_Count;

 protected:
  T_QOR_Symbol_Model(int32_t Alphabet_Size, bool Context_Models);
};

// The same decisions with context models for the head, the group and the two
// smallest groups.
class T_QOR_Symbol_Context_Model : public T_QOR_Symbol_Model {
 public:
  explicit T_QOR_Symbol_Context_Model(int32_t Alphabet_Size_) : T_QOR_Symbol_Model(Alphabet_Size_, true) {}
};

// An exponent 0..23 as its group (0..3 alone, 4..23 together) and the offset
// inside group 4.
class T_QOR_Exponent_Model {
 public:
  T_QOR_Exponent_Model();
  void Set_Block_Flags(bool Fast_Mode, bool SIF_Path);
  void Reset();
  T_QOR_Model& Group_Model_At(int32_t Group) const { return *Group_Models[Group]; }
  static int32_t Group_Value(int32_t Group, int32_t Offset) { return QOR_Exponent_Bound[Group] + Offset; }

  std::unique_ptr<T_QOR_Context_Model> Head_Model;
  std::unique_ptr<T_QOR_Model> Group_Models[5];
  int32_t Group_Of[24] = {};
};

// Mantissa pieces are coded directly with the inner model.
class T_QOR_Mantissa_Model {
 public:
  T_QOR_Mantissa_Model();
  void Set_Block_Flags(bool Fast_Mode, bool SIF_Path);
  void Reset() { Model->Reset(); }
  std::unique_ptr<T_QOR_Model> Model;

 protected:
  explicit T_QOR_Mantissa_Model(std::unique_ptr<T_QOR_Model> Inner) : Model(std::move(Inner)) {}
};

class T_QOR_Mantissa_Model_1 : public T_QOR_Mantissa_Model {
 public:
  T_QOR_Mantissa_Model_1();
};

class T_QOR_Mantissa_Model_2 : public T_QOR_Mantissa_Model {
 public:
  T_QOR_Mantissa_Model_2();
};

// The top three bits of a mantissa, as one symbol of a context model.
constexpr int32_t QOR_Mantissa_Top_Symbols = 8;

class T_QOR_Mantissa_Model_3 : public T_QOR_Mantissa_Model {
 public:
  T_QOR_Mantissa_Model_3();
};
