// A Rust host of libbrevane with no crates and no generated bindings: the C
// functions it needs declared by hand, as the C ABI lets any language do.
// Prints where the manifest elements of a page lie and the page's binding:
//   rustc -O consumer.rs -L PREFIX/lib -l brevane && ./consumer PAGE
use std::ffi::CStr;
use std::os::raw::{c_char, c_int};

#[repr(C)]
#[derive(Clone, Copy)]
struct Range {
    start: u64,
    length: u64,
}

#[repr(C)]
struct Str {
    data: *const c_char,
    length: usize,
}

#[repr(C)]
struct OwnedStr {
    data: *mut c_char,
    length: usize,
}

#[repr(C)]
struct Error {
    code: c_int,
    message: OwnedStr,
    status_code: Str,
}

#[repr(C)]
struct Digest {
    length: usize,
    bytes: [u8; 64],
}

#[repr(C)]
struct Binding {
    alg: Str,
    hash: Digest,
    exclusion_count: usize,
    exclusions: [Range; 1],
}

extern "C" {
    fn brevane_version() -> *const c_char;
    fn brevane_free(owned: OwnedStr);
    fn brevane_locate_all(
        html: *const c_char,
        html_length: usize,
        ranges: *mut Range,
        capacity: usize,
        count: *mut usize,
        error: *mut Error,
    ) -> c_int;
    fn brevane_compute_data_hash(
        html: *const c_char,
        html_length: usize,
        alg: *const c_char,
        alg_length: usize,
        binding: *mut Binding,
        error: *mut Error,
    ) -> c_int;
}

const BUFFER_TOO_SMALL: c_int = 11;

fn new_error() -> Error {
    Error {
        code: 0,
        message: OwnedStr { data: std::ptr::null_mut(), length: 0 },
        status_code: Str { data: std::ptr::null(), length: 0 },
    }
}

// The error's message as Rust text; the library's copy is freed here.
fn take_message(error: Error) -> String {
    let text = if error.message.data.is_null() {
        String::new()
    } else {
        let bytes = unsafe {
            std::slice::from_raw_parts(error.message.data as *const u8, error.message.length)
        };
        String::from_utf8_lossy(bytes).into_owned()
    };
    unsafe { brevane_free(error.message) };
    text
}

fn locate_all(page: &[u8]) -> Result<Vec<Range>, String> {
    // A size query first; a page has a manifest element or two at most, so the
    // second call is rare.
    let mut ranges = vec![Range { start: 0, length: 0 }; 2];
    loop {
        let mut count = 0usize;
        let mut error = new_error();
        let code = unsafe {
            brevane_locate_all(
                page.as_ptr() as *const c_char,
                page.len(),
                ranges.as_mut_ptr(),
                ranges.len(),
                &mut count,
                &mut error,
            )
        };
        if code == 0 {
            ranges.truncate(count);
            return Ok(ranges);
        }
        let message = take_message(error);
        if code != BUFFER_TOO_SMALL {
            return Err(message);
        }
        ranges.resize(count, Range { start: 0, length: 0 });
    }
}

fn compute_data_hash(page: &[u8], alg: &str) -> Result<Binding, String> {
    let mut binding = Binding {
        alg: Str { data: std::ptr::null(), length: 0 },
        hash: Digest { length: 0, bytes: [0; 64] },
        exclusion_count: 0,
        exclusions: [Range { start: 0, length: 0 }],
    };
    let mut error = new_error();
    let code = unsafe {
        brevane_compute_data_hash(
            page.as_ptr() as *const c_char,
            page.len(),
            alg.as_ptr() as *const c_char,
            alg.len(),
            &mut binding,
            &mut error,
        )
    };
    if code == 0 {
        Ok(binding)
    } else {
        Err(take_message(error))
    }
}

fn main() {
    let path = std::env::args().nth(1).expect("usage: consumer PAGE");
    let page = std::fs::read(&path).expect("cannot read the page");
    let version = unsafe { CStr::from_ptr(brevane_version()) };
    println!("brevane {}", version.to_string_lossy());

    match locate_all(&page) {
        Ok(ranges) => {
            for range in ranges {
                println!("element: {}+{}", range.start, range.length);
            }
        }
        Err(message) => {
            eprintln!("locate_all: {}", message);
            std::process::exit(1);
        }
    }
    match compute_data_hash(&page, "sha256") {
        Ok(binding) => {
            let alg = unsafe {
                std::slice::from_raw_parts(binding.alg.data as *const u8, binding.alg.length)
            };
            let hash: String = binding.hash.bytes[..binding.hash.length]
                .iter()
                .map(|b| format!("{:02x}", b))
                .collect();
            print!("bound: {} {}", String::from_utf8_lossy(alg), hash);
            for range in &binding.exclusions[..binding.exclusion_count] {
                print!(" excluding {}+{}", range.start, range.length);
            }
            println!();
        }
        Err(message) => {
            eprintln!("compute_data_hash: {}", message);
            std::process::exit(1);
        }
    }
    // An unknown algorithm comes back as the module's own message.
    match compute_data_hash(&page, "md5") {
        Ok(_) => std::process::exit(1),
        Err(message) => println!("refused: {}", message),
    }
}
