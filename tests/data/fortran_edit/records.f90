! Writes records.bin: an unformatted sequential file as gfortran frames it,
! with records of default integers, doubles, both mixed, an 8-byte integer,
! characters, and an empty record. test_record_framing.cpp reads it back and
! writes the same records itself.
program records
  implicit none
  integer :: i
  open(10, file='records.bin', form='unformatted', access='sequential', status='replace')
  write(10) 1, -2, 2147483647
  write(10) 1.5d0, -2.25d0, 0d0
  write(10)
  write(10) 7, 3.25d0, -1, huge(1d0), 0.1d0
  write(10) (real(i, kind(1d0)) / 3d0, i = 1, 100)
  write(10) 'KOVA', 42_8
  write(10)
  close(10)
end program records
