/* Stand-in host: the array half (libmx) of the MEX C interface, the subset Quarnel and its tests
   use, with the host's names and its 64-bit dimension form (mwSize is 64 bits wide). */
#ifndef QUARNEL_STANDIN_MATRIX_H
#define QUARNEL_STANDIN_MATRIX_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#ifdef _WIN32
#define STANDIN_MX_API __declspec(dllimport)
#else
#define STANDIN_MX_API
#endif
#ifdef STANDIN_BUILDING_MX
#undef STANDIN_MX_API
#ifdef _WIN32
#define STANDIN_MX_API __declspec(dllexport)
#else
#define STANDIN_MX_API __attribute__((visibility("default")))
#endif
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef struct mxArray_tag mxArray;
typedef size_t mwSize;
typedef size_t mwIndex;
typedef uint16_t mxChar;
typedef bool mxLogical;

typedef enum {
    mxUNKNOWN_CLASS = 0,
    mxCELL_CLASS,
    mxSTRUCT_CLASS,
    mxLOGICAL_CLASS,
    mxCHAR_CLASS,
    mxVOID_CLASS,
    mxDOUBLE_CLASS,
    mxSINGLE_CLASS,
    mxINT8_CLASS,
    mxUINT8_CLASS,
    mxINT16_CLASS,
    mxUINT16_CLASS,
    mxINT32_CLASS,
    mxUINT32_CLASS,
    mxINT64_CLASS,
    mxUINT64_CLASS,
    mxFUNCTION_CLASS,
    mxOPAQUE_CLASS,
    mxOBJECT_CLASS
} mxClassID;

typedef enum { mxREAL = 0, mxCOMPLEX = 1 } mxComplexity;

/* The 64-bit dimension form keeps the classic names in the source and links the _730 ones, as
   the host's headers rename them (renamed_entries.txt beside this folder lists every rename). */
#define mxCreateNumericArray mxCreateNumericArray_730
#define mxCreateCharArray mxCreateCharArray_730
#define mxCreateCellMatrix mxCreateCellMatrix_730
#define mxCreateStructMatrix mxCreateStructMatrix_730
#define mxCreateSparse mxCreateSparse_730
#define mxGetNumberOfDimensions mxGetNumberOfDimensions_730

STANDIN_MX_API mxArray* mxCreateNumericArray_730(mwSize ndim, const mwSize* dims, mxClassID classid,
                                                 mxComplexity complexity);
STANDIN_MX_API mxArray* mxCreateCharArray_730(mwSize ndim, const mwSize* dims);
STANDIN_MX_API mxArray* mxCreateCellMatrix_730(mwSize m, mwSize n);
STANDIN_MX_API mxArray* mxCreateStructMatrix_730(mwSize m, mwSize n, int nfields, const char** fieldnames);
STANDIN_MX_API mxArray* mxCreateSparse_730(mwSize m, mwSize n, mwSize nzmax, mxComplexity complexity);
STANDIN_MX_API mxArray* mxCreateString(const char* text);
STANDIN_MX_API mxArray* mxCreateDoubleScalar(double value);
STANDIN_MX_API mxArray* mxCreateLogicalScalar(mxLogical value);
STANDIN_MX_API void mxDestroyArray(mxArray* array);

STANDIN_MX_API mxClassID mxGetClassID(const mxArray* array);
STANDIN_MX_API bool mxIsClass(const mxArray* array, const char* name);
STANDIN_MX_API bool mxIsChar(const mxArray* array);
STANDIN_MX_API bool mxIsNumeric(const mxArray* array);
STANDIN_MX_API bool mxIsLogical(const mxArray* array);
STANDIN_MX_API bool mxIsComplex(const mxArray* array);
STANDIN_MX_API bool mxIsSparse(const mxArray* array);
STANDIN_MX_API bool mxIsLogicalScalarTrue(const mxArray* array);
STANDIN_MX_API mwSize mxGetNumberOfDimensions_730(const mxArray* array);
STANDIN_MX_API size_t mxGetM(const mxArray* array);
STANDIN_MX_API size_t mxGetNumberOfElements(const mxArray* array);

STANDIN_MX_API void* mxGetData(const mxArray* array);
STANDIN_MX_API double* mxGetPr(const mxArray* array);
STANDIN_MX_API mxChar* mxGetChars(const mxArray* array);
STANDIN_MX_API char* mxArrayToString(const mxArray* array);
STANDIN_MX_API char* mxArrayToUTF8String(const mxArray* array);
STANDIN_MX_API void mxFree(void* pointer);

#ifdef __cplusplus
}
#endif

#endif
